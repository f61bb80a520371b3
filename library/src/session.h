// Internet session and HTTP connection of one transfer.
#pragma once
#include <windows.h>
#include <wininet.h>

// Opens the session (through proxyServer:proxyPort when proxyServer is non-empty) and the
// connection to the URL's host and port with the URL's credentials. Returns 0, LUMOX_E_TOO_LONG for
// texts that do not fit their working buffers, or the platform's last error; on failure
// nothing is left open and both handle variables are null.
int HttpOpenConnection(HINTERNET *session, HINTERNET *connection, const URL_COMPONENTSA *parts,
                       const char *proxyServer, int proxyPort, const char *proxyUser,
                       const char *proxyPassword);
