// The launcher's process entry: the command line is the arguments joined by single spaces.
#include <string>

#include "QUILLON/quillon.h"
#include "QUILLON/usage.h"

int main(int argc, char** argv) {
    if (const std::optional<int> shown = HandleInfoOption(argc, argv)) {
        return *shown;
    }
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            commandLine.push_back(' ');
        }
        commandLine += argv[i];
    }
    return QuillonMain(commandLine, argc > 0 && argv[0] != nullptr ? argv[0] : "");
}
