#define _GNU_SOURCE
// Loopback HTTP sink for upload benchmarks: reads every request body whole, then answers.
//   lumox_bench_sink PORTFILE LOGFILE
// Listens on 127.0.0.1 (an ephemeral port, written to PORTFILE), one thread per connection.
// Each request must carry Content-Length; the sink answers "100 Continue" when asked, reads
// exactly that many bytes into a buffer of its own, appends "<content-length> <bytes-read>"
// to LOGFILE and only then answers 200 with the body "OK". It stops on SIGTERM or after an
// hour. In C so that it reads as fast as a real server would and never holds the sender
// back.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#define CHUNK (1 << 20)
#define MAX_HEAD 65536

static const char *g_log;
static pthread_mutex_t g_logLock = PTHREAD_MUTEX_INITIALIZER;

static int SendAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

// The value of a header in a head (NUL-terminated), or NULL.
static const char *Header(const char *head, const char *name) {
  size_t length = strlen(name);
  for (const char *line = strstr(head, "\r\n"); line; line = strstr(line + 2, "\r\n")) {
    const char *at = line + 2;
    if (strncasecmp(at, name, length) == 0 && at[length] == ':') {
      at += length + 1;
      while (*at == ' ' || *at == '\t') ++at;
      return at;
    }
  }
  return NULL;
}

static void *Serve(void *arg) {
  int fd = (int)(intptr_t)arg;
  char *buffer = malloc(CHUNK);
  char head[MAX_HEAD + 1];
  size_t have = 0;  // bytes in `head`: the next request's head, perhaps with body bytes
  while (buffer) {
    char *end = NULL;
    while ((end = memmem(head, have, "\r\n\r\n", 4)) == NULL) {
      if (have == MAX_HEAD) goto done;
      ssize_t n = recv(fd, head + have, MAX_HEAD - have, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) goto done;
      have += (size_t)n;
    }
    size_t headLength = (size_t)(end - head) + 4;
    head[headLength - 2] = '\0';  // ends the last header line
    const char *lengthText = Header(head, "Content-Length");
    if (!lengthText) {
      static const char kRefusal[] =
          "HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(fd, kRefusal, sizeof kRefusal - 1);
      goto done;
    }
    unsigned long long length = strtoull(lengthText, NULL, 10);
    const char *expect = Header(head, "Expect");
    if (expect && strncasecmp(expect, "100-continue", 12) == 0 &&
        SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25) != 0)
      goto done;
    size_t early = have - headLength;  // body bytes that came with the head
    unsigned long long got = early < length ? early : length;
    memmove(head, head + headLength + got, have - headLength - got);
    have -= headLength + got;
    while (got < length) {
      unsigned long long want = length - got;
      ssize_t n = recv(fd, buffer, want < CHUNK ? (size_t)want : CHUNK, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += (unsigned long long)n;
    }
    pthread_mutex_lock(&g_logLock);
    FILE *log = fopen(g_log, "a");
    if (log) {
      fprintf(log, "%llu %llu\n", length, got);
      fclose(log);
    }
    pthread_mutex_unlock(&g_logLock);
    if (got < length) break;
    static const char kReply[] =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nOK";
    if (SendAll(fd, kReply, sizeof kReply - 1) != 0) break;
  }
done:
  free(buffer);
  close(fd);
  return NULL;
}

static void Stop(int signal) {
  (void)signal;
  _exit(0);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORTFILE LOGFILE\n", argv[0]);
    return 2;
  }
  g_log = argv[2];
  signal(SIGTERM, Stop);
  signal(SIGALRM, Stop);
  alarm(3600);
  int server = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (server < 0 || bind(server, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(server, 64) != 0 || getsockname(server, (struct sockaddr *)&address, &size) != 0) {
    perror("sink");
    return 1;
  }
  // The port file appears whole: written under another name, then renamed.
  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.new", argv[1]);
  FILE *portFile = fopen(temporary, "w");
  if (!portFile) return 1;
  fprintf(portFile, "%d\n", ntohs(address.sin_port));
  if (fclose(portFile) != 0 || rename(temporary, argv[1]) != 0) return 1;
  for (;;) {
    int client = accept(server, NULL, NULL);
    if (client < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    pthread_t thread;
    if (pthread_create(&thread, NULL, Serve, (void *)(intptr_t)client) != 0) {
      close(client);
      continue;
    }
    pthread_detach(thread);
  }
}
