// Compresses a file the way the unloader's gzip output does: gzdopen with
// mode "wb6" and gzwrite in blocks of 4 MiB. It gives the time zlib alone
// needs for the same bytes, which the .gz unload is measured against.
//
//   zlib_alone INPUT OUTPUT.gz
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zlib_alone INPUT OUTPUT.gz\n");
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) {
    std::perror(argv[1]);
    return 1;
  }
  const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(argv[2]);
    std::fclose(in);
    return 1;
  }
  gzFile gz = gzdopen(fd, "wb6");
  if (!gz) {
    std::fprintf(stderr, "zlib_alone: gzdopen failed\n");
    close(fd);
    std::fclose(in);
    return 1;
  }
  std::vector<char> block(4u << 20);
  int rc = 0;
  size_t n;
  while ((n = std::fread(block.data(), 1, block.size(), in)) > 0) {
    if (gzwrite(gz, block.data(), static_cast<unsigned>(n)) != static_cast<int>(n)) {
      std::fprintf(stderr, "zlib_alone: gzwrite failed\n");
      rc = 1;
      break;
    }
  }
  if (std::ferror(in)) rc = 1;
  if (gzclose(gz) != Z_OK) rc = 1;
  std::fclose(in);
  return rc;
}
