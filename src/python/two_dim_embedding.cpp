// Python front of TwoDimEmbedding: stores the matrix, runs the layout pipeline per call and
// forwards its log events to the standard `logging` logger "orvane_keldra".
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "src/layout/extend.hpp"
#include "src/layout/pacmap.hpp"
#include "src/common/failure.hpp"
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/docstrings.hpp"
#include "src/python/input_rules.hpp"

namespace orvane::py {
namespace {

using State = EmbeddingMatrix;

int python_level(pacmap::LogLevel level) {
    switch (level) {
        case pacmap::LogLevel::Debug: return 10;
        case pacmap::LogLevel::Info: return 20;
        case pacmap::LogLevel::Warn: return 30;
        case pacmap::LogLevel::Error: return 40;
    }
    return 40;
}

// Levels are looked up once per call, so a disabled logger costs four cheap checks. Events from
// worker threads are queued and emitted on the calling thread, which holds the interpreter lock.
class LoggingSink final : public pacmap::LogSink {
public:
    LoggingSink() : caller_(std::this_thread::get_id()) {
        Ref logging(PyImport_ImportModule("logging"));
        if (logging)
            logger_ = Ref(PyObject_CallMethod(logging.get(), "getLogger", "s", "orvane_keldra"));
        if (!logger_) {
            PyErr_Clear();
            return;
        }
        for (int i = 0; i < 4; ++i) {
            Ref r(PyObject_CallMethod(logger_.get(), "isEnabledFor", "i",
                                      python_level(static_cast<pacmap::LogLevel>(i))));
            enabled_[i] = r && PyObject_IsTrue(r.get()) == 1;
            if (!r) PyErr_Clear();
        }
    }
    // The call flushes explicitly: emitting may raise, which a destructor must not.

    bool enabled(pacmap::LogLevel level) const override {
        return enabled_[static_cast<int>(level)];
    }

    void log(pacmap::LogLevel level, std::string_view message) override {
        if (!enabled(level)) return;
        if (std::this_thread::get_id() == caller_) {
            flush();
            emit(level, message);
            return;
        }
        std::lock_guard<std::mutex> lk(mutex_);
        queued_.emplace_back(level, std::string(message));
    }

    void flush() {
        std::vector<std::pair<pacmap::LogLevel, std::string>> events;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            events.swap(queued_);
        }
        for (auto& [level, text] : events) emit(level, text);
    }

private:
    void emit(pacmap::LogLevel level, std::string_view message) {
        if (PyErr_Occurred()) return;  // the call is already failing with that exception
        Ref r(PyObject_CallMethod(logger_.get(), "log", "is#", python_level(level), message.data(),
                                  static_cast<Py_ssize_t>(message.size())));
        // An exception from a handler (KeyboardInterrupt from a pending signal, say) ends the
        // layout and reaches the caller.
        if (!r) throw Stopped();
    }

    std::thread::id caller_;
    Ref logger_;
    bool enabled_[4] = {false, false, false, false};
    std::mutex mutex_;
    std::vector<std::pair<pacmap::LogLevel, std::string>> queued_;
};

// The converted buffer becomes the matrix: no second copy of the input.
EmbeddingMatrix rows_to_matrix(EmbeddingRows&& rows) {
    EmbeddingMatrix m;
    m.rows = rows.size();
    m.cols = m.rows == 0 ? 0 : rows.row_length(0);
    for (std::size_t i = 0; i < m.rows; ++i)
        if (rows.row_length(i) < m.cols) {
            try {
                fail_index(rows.row_length(i), rows.row_length(i));
            } catch (const InternalFailure& e) {
                throw NotedFailure(e.what(),
                                   ragged_rows_note("embeddings", i, rows.row_length(i), m.cols));
            }
        }
    m.data = std::move(rows).take_leading(m.cols);
    return m;
}

PyObject* two_dim_embedding_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"embeddings", true}};
    return bound_call("TwoDimEmbedding.__new__()", params, args, kwargs,
                      [&](PyObject** a) -> PyObject* {
                          EmbeddingRows rows = to_rows(a[0], "embeddings");
                          return make_instance(type, new State(rows_to_matrix(std::move(rows))));
                      });
}

PyObject* calculate_2d_embedding(PyObject* self, PyObject*) {
    return guarded(
        "TwoDimEmbedding.calculate_2d_embedding()",
        [&]() -> PyObject* {
            auto* inst = instance_of<State>(self);
            Hold hold(inst->borrow, Hold::Kind::Shared);
            const EmbeddingMatrix& x = *inst->state;
            const pacmap::PacmapConfig config = pacmap::driver_config(x.rows);
            LoggingSink sink;
            std::vector<float> layout;
            try {
                layout = pacmap::run_pacmap(x.data.data(), x.rows, x.cols, config, &sink);
            } catch (...) {
                sink.flush();
                throw;
            }
            sink.flush();
            return point_list(layout);
        },
        /*report_progress=*/true);
}

// The layout of the object's n embeddings: n rows of two finite values.
std::vector<float> layout_values(PyObject* obj, std::size_t n) {
    std::optional<std::size_t> bad;
    EmbeddingRows rows = to_rows(obj, "layout", &bad);
    if (rows.size() != n) {
        throw InvalidArgument("layout has " + std::to_string(rows.size()) +
                              " rows but the object has " + std::to_string(n) +
                              " embeddings: pass what calculate_2d_embedding() returned for them");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (rows.row_length(i) != 2) {
            throw InvalidArgument("layout must have 2 columns, an (x, y) per embedding: row " +
                                  std::to_string(i) + " has " + std::to_string(rows.row_length(i)));
        }
    }
    check_finite("layout", locate_non_finite(rows, bad));
    return std::move(rows).take_values();
}

PyObject* extend_2d_embedding(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"layout", true}, {"new_embeddings", true}};
    return bound_call(
        "TwoDimEmbedding.extend_2d_embedding()", params, args, kwargs,
        [&](PyObject** a) -> PyObject* {
            auto* inst = instance_of<State>(self);
            Hold hold(inst->borrow, Hold::Kind::Shared);
            const EmbeddingMatrix& x = *inst->state;
            const std::vector<float> layout = layout_values(a[0], x.rows);
            std::optional<std::size_t> bad;
            EmbeddingRows rows = to_rows(a[1], "new_embeddings", &bad);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (rows.row_length(i) != x.cols) {
                    throw InvalidArgument("new_embeddings must have " + std::to_string(x.cols) +
                                          " values per row, as the embeddings do: row " +
                                          std::to_string(i) + " has " +
                                          std::to_string(rows.row_length(i)));
                }
            }
            check_finite("new_embeddings", locate_non_finite(rows, bad));
            if (rows.empty()) return point_list({});
            // The fitted rows must be ones the layout accepts (it refuses non-finite values).
            const pacmap::PacmapConfig config = pacmap::driver_config(x.rows);
            const std::vector<float> q = std::move(rows).take_values();
            return point_list(pacmap::extend_layout(x.data.data(), x.rows, x.cols, layout.data(),
                                                    q.data(), q.size() / x.cols, config));
        },
        /*report_progress=*/true);
}

PyMethodDef methods[] = {
    {"calculate_2d_embedding", calculate_2d_embedding, METH_NOARGS, docs::calculate_2d_embedding},
    {"extend_2d_embedding", as_method(extend_2d_embedding), METH_VARARGS | METH_KEYWORDS,
     docs::extend_2d_embedding},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassFront two_dim_embedding_front = class_front<State>(
    "orvane_keldra.TwoDimEmbedding", docs::two_dim_embedding_class, two_dim_embedding_new, methods);

}  // namespace orvane::py
