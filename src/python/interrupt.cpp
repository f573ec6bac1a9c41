#include "src/python/interrupt.hpp"

#include <cmath>
#include <csignal>

namespace orvane::py {
namespace {

constexpr int kInfo = 20;

std::string grouped(std::size_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}

}  // namespace

std::string progress_text(const stop::Snapshot& p, double elapsed_seconds,
                          double progress_seconds) {
    const std::size_t percent = p.total == 0
                                    ? 100
                                    : static_cast<std::size_t>(static_cast<double>(p.done) * 100.0 /
                                                               static_cast<double>(p.total));
    std::string text = std::string(p.what) + ": " + grouped(p.done) + " of " + grouped(p.total) +
                       " " + p.unit + " (" + std::to_string(percent) + "%), " +
                       grouped(static_cast<std::size_t>(std::llround(elapsed_seconds))) +
                       " s elapsed";
    // Nothing done yet gives no basis for an estimate.
    if (p.done > 0 && p.done <= p.total) {
        const double left =
            progress_seconds * static_cast<double>(p.total - p.done) / static_cast<double>(p.done);
        text += ", about " + grouped(static_cast<std::size_t>(std::llround(left))) + " s left";
    }
    return text;
}

WatchTiming& watch_timing() {
    static WatchTiming timing;
    return timing;
}

bool CallWatch::keep_going(const stop::Snapshot* progress, bool final) {
    if (long& at = watch_timing().sigint_at; at > 0 && --at == 0) std::raise(SIGINT);
    // An error already set is on its way to the caller; so is one raised by a signal handler.
    if (PyErr_Occurred() || PyErr_CheckSignals() != 0) return false;
    if (report_ && progress != nullptr) return report(*progress, final);
    return true;
}

bool CallWatch::report(const stop::Snapshot& progress, bool final) {
    const auto now = std::chrono::steady_clock::now();
    if (final) {
        if (events_ == 0) return true;  // a call too short to report stays silent to the end
    } else if (now - start_ < watch_timing().first_event ||
               (events_ > 0 && now - last_event_ < watch_timing().between_events)) {
        return true;
    }
    if (listening_ == Listening::Unknown) {
        // Asked once per call; a call nobody listens to formats nothing.
        listening_ = Listening::No;
        Ref logging(PyImport_ImportModule("logging"));
        if (!logging) return false;
        logger_ = Ref(PyObject_CallMethod(logging.get(), "getLogger", "s", "orvane_keldra"));
        if (!logger_) return false;
        Ref enabled(PyObject_CallMethod(logger_.get(), "isEnabledFor", "i", kInfo));
        if (!enabled) return false;
        const int yes = PyObject_IsTrue(enabled.get());
        if (yes < 0) return false;
        listening_ = yes ? Listening::Yes : Listening::No;
    }
    if (listening_ == Listening::No) return true;
    last_event_ = now;
    ++events_;
    const std::string text =
        progress_text(progress, std::chrono::duration<double>(now - start_).count(),
                      std::chrono::duration<double>(now - progress.started).count());
    // A handler's exception (KeyboardInterrupt, say) stops the call and reaches the caller.
    Ref done(PyObject_CallMethod(logger_.get(), "info", "s#", text.data(),
                                 static_cast<Py_ssize_t>(text.size())));
    return static_cast<bool>(done);
}

}  // namespace orvane::py
