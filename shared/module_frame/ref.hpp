// Owning reference to a Python object: the one place where reference counts are balanced.
#pragma once

#include <Python.h>

#include <utility>

namespace sorvane::frame {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller owns (a "new reference" of the C API).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to an object somebody else owns.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, e.g. as a function result.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace sorvane::frame
