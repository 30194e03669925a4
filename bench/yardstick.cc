// The yardstick of a rewrite: what copying a file safely costs. Reads FILE
// whole, writes it to a temporary file beside it, flushes that to disk,
// renames it over FILE and flushes the folder: the least any program that
// rewrites FILE atomically must do.
//
//   yardstick FILE
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: yardstick FILE\n"), 2;
  std::string path = argv[1], temp = path + ".XXXXXX";
  int in = open(path.c_str(), O_RDONLY);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) return perror(argv[1]), 1;
  size_t size = (size_t)st.st_size, got = 0;
  char* data = (char*)malloc(size ? size : 1);
  for (ssize_t r; got < size && (r = read(in, data + got, size - got)) > 0;) got += (size_t)r;
  close(in);
  int out = mkstemp(temp.data());
  if (got != size || out < 0) return perror("yardstick"), 1;
  size_t put = 0;
  for (ssize_t w; put < size && (w = write(out, data + put, size - put)) > 0;) put += (size_t)w;
  if (put != size || fsync(out) != 0 || close(out) != 0 || rename(temp.c_str(), path.c_str()) != 0)
    return perror("yardstick"), 1;
  size_t slash = path.rfind('/');
  int dir = open(slash == std::string::npos ? "." : path.substr(0, slash).c_str(), O_RDONLY);
  if (dir < 0 || fsync(dir) != 0) return perror("yardstick"), 1;
  close(dir);
  free(data);
  return 0;
}
