// Owned references to Python objects, and the export marker.
#ifndef WIRELET_REF_H
#define WIRELET_REF_H

#include <Python.h>

// Symbols that native code outside this shared object may use.
#define WIRELET_EXPORT __attribute__((visibility("default")))

// One strong reference, released when the Ref goes out of scope.
// Must be used with the interpreter lock held.
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(obj_); }

    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = other.obj_;
            other.obj_ = nullptr;
        }
        return *this;
    }

    // Adopts a new reference (which may be null after a failed call).
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

#endif
