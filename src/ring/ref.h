// ref.h - an owned reference to a Python object, the only way the engine
// holds one. The engine never inspects objects; it keeps them alive while
// the kernel uses their memory and drops them (with the interpreter lock
// held, as every engine call is) when the entry that owns them goes away.
#pragma once

#include <utility>

struct _object;
typedef struct _object PyObject;
extern "C" {
void Py_IncRef(PyObject*);
void Py_DecRef(PyObject*);
}

namespace uring {

class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_IncRef(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            if (old) Py_DecRef(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (PyObject* p = std::exchange(p_, nullptr)) Py_DecRef(p);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

  private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace uring
