// Registration and lookup of the one instance of a process-wide class.
#pragma once
#include <atomic>

#include "TK/tk_excep.h"

// Base of every process-wide class T (logger, error handler, converter,
// engines, wizard shell). The object registers itself while it lives; code
// anywhere reaches it through instance() or ref().
//
//     class tk_logger : public tk_singleton<tk_logger> { ... };
//     tk_logger::ref().set_file(path);
//
// The objects keep ordinary lifetimes (most live on an entry function's
// stack); the template only records which one is current.
//
// Rules:
// - The first object of T registers itself; a second one made while the first
//   lives stays unregistered and cannot be reached through the template.
// - A destructor clears the registration only when its object is the one
//   registered, so a short-lived second object cannot orphan the first.
// - Reaching a missing instance through an accessor is an internal error
//   (tk_mail_assertion); code that may run without one (the log writers)
//   asks exists() first.
//
// The registration is written by constructors and destructors on the owning
// thread and read from any thread; it is atomic so readers on a worker thread
// see either the object or null, never a torn value.
template <class T>
class tk_singleton {
public:
    tk_singleton(const tk_singleton&) = delete;
    tk_singleton& operator=(const tk_singleton&) = delete;

    // True when an object of T is registered.
    static bool exists() noexcept { return s_registered.load() != nullptr; }
    // True when none is.
    static bool is_null() noexcept { return s_registered.load() == nullptr; }
    // The registered object, or null (no assertion).
    static T* get() noexcept { return cast(s_registered.load()); }

protected:
    tk_singleton() noexcept
    {
        tk_singleton* expected = nullptr;
        s_registered.compare_exchange_strong(expected, this);
    }

    virtual ~tk_singleton()
    {
        tk_singleton* expected = this;
        s_registered.compare_exchange_strong(expected, nullptr);
    }

public:
    // The registered object; throws tk_mail_assertion when there is none.
    // Both accessors live in this header, so the position their assertion
    // carries (and with it the code a user may report) is the same in every
    // program built from this tree.
    static T* instance()
    {
        if (tk_singleton* p = s_registered.load())
            return cast(p);
        TK_MAIL_ASSERT();
    }
    // The same as a reference; its assertion carries a position of its own.
    static T& ref()
    {
        if (tk_singleton* p = s_registered.load())
            return *cast(p);
        TK_MAIL_ASSERT();
    }

private:
    // Kept as the base pointer: the downcast is made only after T is fully built.
    static T* cast(tk_singleton* p) noexcept { return static_cast<T*>(p); }

    inline static std::atomic<tk_singleton*> s_registered{nullptr};
};
