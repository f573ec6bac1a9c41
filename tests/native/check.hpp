#pragma once
// A minimal test registry for the C++ tests of the core; run by tests/test_native.py.
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace native_tests {

struct Case {
    const char* name;
    std::function<void()> body;
};
std::vector<Case>& registry();
struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, body}); }
};
struct Failure {
    std::string what;
};

}  // namespace native_tests

#define NT_CAT2(a, b) a##b
#define NT_CAT(a, b) NT_CAT2(a, b)
#define TEST_CASE(name)                                                                        \
    static void NT_CAT(nt_body_, __LINE__)();                                                  \
    static native_tests::Register NT_CAT(nt_reg_, __LINE__)(name, NT_CAT(nt_body_, __LINE__)); \
    static void NT_CAT(nt_body_, __LINE__)()

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::ostringstream nt_os;                                            \
            nt_os << __FILE__ << ":" << __LINE__ << ": CHECK(" #cond ") failed"; \
            throw native_tests::Failure{nt_os.str()};                            \
        }                                                                        \
    } while (0)

// Fails with both values, printed to full precision, unless `ok`.
#define NT_CHECK_PAIR(ok, what, va, vb, sep)                                                      \
    do {                                                                                          \
        if (!(ok)) {                                                                              \
            std::ostringstream nt_os;                                                             \
            nt_os.precision(17);                                                                  \
            nt_os << __FILE__ << ":" << __LINE__ << ": " what " failed: " << (va) << sep << (vb); \
            throw native_tests::Failure{nt_os.str()};                                             \
        }                                                                                         \
    } while (0)

#define CHECK_EQ(a, b)                                                               \
    do {                                                                             \
        auto nt_a = (a);                                                             \
        auto nt_b = (b);                                                             \
        NT_CHECK_PAIR(nt_a == nt_b, "CHECK_EQ(" #a ", " #b ")", nt_a, nt_b, " != "); \
    } while (0)

#define CHECK_NEAR(a, b, tol)                                                                    \
    do {                                                                                         \
        double nt_a = (a), nt_b = (b);                                                           \
        NT_CHECK_PAIR(std::fabs(nt_a - nt_b) <= (tol), "CHECK_NEAR(" #a ", " #b ")", nt_a, nt_b, \
                      " vs ");                                                                   \
    } while (0)

// Expects `expr` to throw exception type `type` whose what() contains `text`.
#define CHECK_THROWS_WITH(expr, type, text)                                                      \
    do {                                                                                         \
        bool nt_thrown = false;                                                                  \
        try {                                                                                    \
            (void)(expr);                                                                        \
        } catch (const type& nt_e) {                                                             \
            nt_thrown = std::string(nt_e.what()).find(text) != std::string::npos;                \
            if (!nt_thrown) {                                                                    \
                throw native_tests::Failure{std::string(__FILE__) +                              \
                                            ": wrong message: " + nt_e.what()};                  \
            }                                                                                    \
        }                                                                                        \
        if (!nt_thrown)                                                                          \
            throw native_tests::Failure{std::string(__FILE__) + ":" + std::to_string(__LINE__) + \
                                        ": " #expr " did not throw"};                            \
    } while (0)
