// Binding of call arguments from a parameter table, with the TypeError texts CPython's own
// argument parsing gives.
#include <string>
#include <string_view>
#include <vector>

#include "src/python/binding.hpp"

namespace orvane::py {

void bind_arguments(const char* callable, std::span<const Param> params, PyObject* args,
                    PyObject* kwargs, PyObject** out) {
    const std::size_t n = params.size();
    std::size_t required = 0;
    for (const Param& p : params) required += p.required ? 1 : 0;
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;

    const std::size_t given = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    if (given > n) {
        std::string msg = std::string(callable) + " takes ";
        msg += required == n ? std::to_string(n)
                             : "from " + std::to_string(required) + " to " + std::to_string(n);
        msg += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
        raise(PyExc_TypeError, msg);
    }
    for (std::size_t i = 0; i < given; ++i)
        out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::string_view name = PyUnicode_Check(key) ? utf8(key) : std::string_view{};
            std::size_t idx = n;
            for (std::size_t i = 0; i < n; ++i) {
                if (name == params[i].name) idx = i;
            }
            if (idx == n) {
                Ref repr = checked(PyObject_Str(key));
                raise(PyExc_TypeError, std::string(callable) +
                                           " got an unexpected keyword argument '" +
                                           std::string(utf8(repr.get())) + "'");
            }
            if (out[idx]) {
                raise(PyExc_TypeError, std::string(callable) +
                                           " got multiple values for argument '" +
                                           std::string(name) + "'");
            }
            out[idx] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n; ++i) {
        if (params[i].required && !out[i]) missing.push_back(params[i].name);
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) list += i + 1 == missing.size() ? " and " : ", ";
            list += std::string("'") + missing[i] + "'";
        }
        raise(PyExc_TypeError,
              std::string(callable) + " missing " + std::to_string(missing.size()) +
                  " required positional argument" + (missing.size() > 1 ? "s" : "") + ": " + list);
    }
}

}  // namespace orvane::py
