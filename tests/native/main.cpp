#include <cstring>
#include <exception>

#include "tests/native/check.hpp"

namespace native_tests {
std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}
}  // namespace native_tests

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : nullptr;
    int passed = 0, failed = 0;
    for (const auto& c : native_tests::registry()) {
        if (filter && !std::strstr(c.name, filter)) continue;
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
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
