#include <cstring>
#include <exception>

#include <string>

#include "src/common/simd.hpp"
#include "tests/native/check.hpp"

namespace native_tests {
std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}
}  // namespace native_tests

// No argument: every case. `--list`: the case names, one per line. `--exact NAME`: that case
// alone. Any other argument: the cases whose name contains it.
int main(int argc, char** argv) {
    const bool list = argc > 1 && std::strcmp(argv[1], "--list") == 0;
    const bool exact = argc > 2 && std::strcmp(argv[1], "--exact") == 0;
    const char* filter = exact ? argv[2] : argc > 1 ? argv[1] : nullptr;
    int passed = 0, failed = 0;
    for (const auto& c : native_tests::registry()) {
        if (list) {
            std::printf("%s\n", c.name);
            continue;
        }
        if (filter && (exact ? std::strcmp(c.name, filter) != 0 : !std::strstr(c.name, filter)))
            continue;
        try {
            c.body();
            ++passed;
        } catch (const native_tests::Failure& f) {
            ++failed;
            std::printf("FAIL %s\n  %s\n", c.name, f.what.c_str());
        } catch (const std::exception& e) {
            ++failed;
            std::printf("FAIL %s\n  unexpected exception: %s\n", c.name, e.what());
        }
    }
    if (list) return 0;
    // The cases compare every level this processor offers; which ones that were matters most
    // where the processor is seen through a layer (an emulator, Wine).
    std::string levels;
    for (const auto level : orvane::simd::available()) (levels += ' ') += orvane::simd::name(level);
    std::printf("%d passed, %d failed (kernel levels:%s)\n", passed, failed, levels.c_str());
    return failed == 0 && passed > 0 ? 0 : 1;
}
