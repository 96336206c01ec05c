// The quorvel executable.
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::puts("Usage: quorvel [--help]\n\nQuorvel, a download manager. Nothing but this help exists yet.");
            return 0;
        }
    }
    std::fputs("quorvel: nothing to run yet; see --help\n", stderr);
    return 1;
}
