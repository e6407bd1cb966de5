// Copies its first argument into a 16-byte buffer on the stack without a
// bound, as a careless caller would: an argument of 16 characters or more
// overruns the buffer, and the stack protector must end the program before
// the function returns through the overwritten stack. A shorter argument is
// copied and its length printed.
#include <cstdio>
#include <cstring>

namespace {

// Kept out of line, so the buffer and the check stay in a frame of their own.
__attribute__((noinline)) size_t CopyUnbounded(const char* text) {
  char buffer[16];
  std::strcpy(buffer, text);  // the overrun under test
  return std::strlen(buffer);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stack_protector_probe TEXT\n");
    return 64;
  }
  std::printf("copied %zu characters\n", CopyUnbounded(argv[1]));
  return 0;
}
