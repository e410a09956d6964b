// plicato-cli: the command-line front end of the engine.
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  plicato-cli dump [--password PW] [--sheet N] [--cells] FILE.xls\n"
    "  plicato-cli merge [--mark-rows] -o OUT.xls PATH...\n"
    "  plicato-cli --help\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::fprintf(stderr, "plicato-cli: unknown command \"%s\"\n%s", argv[1], kUsage);
  return 2;
}
