// Ref: an owned Python reference, released on scope exit. Shared by the
// extension modules (each includes it after <Python.h>).
#pragma once

#include <Python.h>

struct Ref {
    PyObject* p = nullptr;
    Ref() = default;
    explicit Ref(PyObject* o) : p(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p); }
    PyObject* release() {
        PyObject* o = p;
        p = nullptr;
        return o;
    }
    explicit operator bool() const { return p != nullptr; }
};
