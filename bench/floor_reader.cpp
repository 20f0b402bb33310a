// The least any download client must do: pull bytes from one TCP connection
// and hand them to an output file. The benchmark measures this next to
// kavelo to know the cost of the job itself.
//
// Usage: floor_reader PORT OUTPUT [BUFFER_BYTES]
// Connects to 127.0.0.1:PORT, reads until the peer closes, writes every byte
// to OUTPUT (a file, created or truncated, or /dev/null) and prints the byte
// count on standard error. Exit code 0 on an orderly close, 1 on any error.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
bool WriteAll(int fd, const char* data, size_t n)
{
  while (n > 0)
  {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 3 || argc > 4)
  {
    fprintf(stderr, "usage: %s PORT OUTPUT [BUFFER_BYTES]\n", argv[0]);
    return 1;
  }
  const int nPort = atoi(argv[1]);
  const long nBuffer = argc == 4 ? atol(argv[3]) : 65536;
  if (nPort <= 0 || nPort > 65535 || nBuffer <= 0 || nBuffer > (64L << 20))
  {
    fprintf(stderr, "bad port or buffer size\n");
    return 1;
  }

  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0)
  {
    perror("open");
    return 1;
  }
  int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sock < 0 || connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
  {
    perror("connect");
    return 1;
  }

  // Left uninitialised on purpose: zero-filling would be work the floor
  // does not need to do.
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(nBuffer)]);
  char* data = buffer.get();
  unsigned long long nTotal = 0;
  for (;;)
  {
    ssize_t r = recv(sock, data, static_cast<size_t>(nBuffer), 0);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
    {
      perror("recv");
      return 1;
    }
    if (r == 0)
      break;
    if (!WriteAll(out, data, static_cast<size_t>(r)))
    {
      perror("write");
      return 1;
    }
    nTotal += static_cast<unsigned long long>(r);
  }
  close(sock);
  if (close(out) != 0)
  {
    perror("close");
    return 1;
  }
  fprintf(stderr, "%llu\n", nTotal);
  return 0;
}
