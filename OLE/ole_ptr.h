// ole_com_ptr<I>: owns one COM interface pointer and releases it exactly once.
#pragma once

#include <memory>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "platform/com/combase.h"

template <class I>
class ole_com_ptr {
public:
    ole_com_ptr() = default;
    // Takes over one reference the caller already holds.
    explicit ole_com_ptr(I* p) : m_p(p) {}
    ole_com_ptr(const ole_com_ptr&) = delete;
    ole_com_ptr& operator=(const ole_com_ptr&) = delete;
    ole_com_ptr(ole_com_ptr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ole_com_ptr& operator=(ole_com_ptr&& other) noexcept
    {
        if (this != std::addressof(other)) {
            reset();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }
    virtual ~ole_com_ptr() { reset(); }

    // The held interface; an empty holder is an internal error.
    I* operator->() const
    {
        if (!m_p)
            TK_MAIL_ASSERT();
        return m_p;
    }
    // The address of the held pointer, for calls that return an interface through an
    // out-parameter. A held interface is released first, so it cannot leak.
    I** operator&()
    {
        reset();
        return &m_p;
    }

    I* get() const { return m_p; }
    bool is_empty() const { return m_p == nullptr; }
    explicit operator bool() const { return m_p != nullptr; }

    // Releases the held interface (if any) and becomes empty.
    void reset()
    {
        if (m_p) {
            I* p = m_p;
            m_p = nullptr;
            ULONG left = p->Release();
            tk_log_write(1, "ole_com_ptr<T>::~ole_com_ptr() - %d refs left", static_cast<int>(left));
        }
    }
    // Gives the reference up to the caller.
    I* detach()
    {
        I* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    I* m_p = nullptr;
};
