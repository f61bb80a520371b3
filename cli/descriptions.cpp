#include "descriptions.h"

namespace lumox_cli {

namespace {

struct Description {
  int code;
  const char *text;
};

// Codes the engines pass on from the system: file errors while the body is written or the
// upload read, and the internet library's errors. The table of the library covers the rest.
const Description kDescriptions[] = {
    {5, "access to a local file was denied"},
    {6, "a local file handle was not valid"},
    {8, "the system ran out of memory"},
    {14, "the system ran out of memory"},
    {29, "the local file could not be written (device error)"},
    {30, "the file to upload could not be read"},
    {32, "a local file is in use by another program"},
    {39, "the disk is full"},
    {112, "the disk is full"},
    {12001, "no more internet handles could be opened"},
    {12007, "the server's host name could not be resolved"},
    {12009, "the internet library refused an option"},
    {12010, "the internet library refused an option's length"},
    {12017, "the operation was cancelled"},
    {12018, "the internet library was given a handle of the wrong type"},
    {12037, "the server's certificate has expired or is not yet valid; -k skips the date check"},
    {12038, "the server's certificate does not name the URL's host; -k skips the name check"},
    {12040, "the server redirected from HTTPS to plain HTTP, which is not followed"},
    {12044, "the server asks for a client certificate, which lumox cannot send"},
    {12045, "the server's certificate is not signed by a trusted authority; -k skips the check"},
    {12055, "the server's certificate has errors"},
    {12056, "the revocation of the server's certificate could not be checked"},
    {12057, "the revocation check of the server's certificate failed"},
    {12150, "a header of the reply was not found"},
    {12152, "the server's reply is not valid HTTP"},
    {12153, "the server sent a header that is not valid"},
    {12156, "the server redirected too often or to a place that cannot be followed"},
    {12157, "the secure (TLS) connection could not be set up"},
    {12163, "the network is disconnected"},
    {12169, "the server's certificate is not valid"},
    {12170, "the server's certificate has been revoked"},
    {12175, "the secure channel or the reply's content could not be decoded"},
};

}  // namespace

std::string CodeDescription(int code, bool hasMessage) {
  if (hasMessage) return std::string();
  for (const Description &d : kDescriptions)
    if (d.code == code) return d.text;
  if (code >= 100 && code <= 999)
    return "the server answered with HTTP status " + std::to_string(code) + " instead of 200";
  return std::string();
}

}  // namespace lumox_cli
