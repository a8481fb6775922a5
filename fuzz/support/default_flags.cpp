#include "support/default_flags.h"

#include <vector>

namespace fuzz {

namespace {
const char* const kStartedReceiverFlags[] = {"-detect_leaks=0", "-entropic_scale_per_exec_time=1"};
}  // namespace

void UseStartedReceiverFlags(int* argc, char*** argv) {
    // libFuzzer keeps pointers into the argument vector for the whole run.
    static std::vector<char*> arguments;
    arguments.clear();
    arguments.push_back((*argv)[0]);
    for (const char* flag : kStartedReceiverFlags) arguments.push_back(const_cast<char*>(flag));
    for (int i = 1; i < *argc; ++i) arguments.push_back((*argv)[i]);
    arguments.push_back(nullptr);
    *argc = static_cast<int>(arguments.size()) - 1;
    *argv = arguments.data();
}

}  // namespace fuzz
