// COM ownership: an interface reference, a BSTR and a VARIANT, each released once.
#pragma once
#include <objbase.h>
#include <oleauto.h>

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ComPtr& operator=(ComPtr&&) = delete;
    ~ComPtr() { if (m_p) m_p->Release(); }
    T** operator&() { return &m_p; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    void** as_void() { return reinterpret_cast<void**>(&m_p); }
private:
    T* m_p = nullptr;
};

class Bstr {
public:
    explicit Bstr(const wchar_t* s) : m_b(::SysAllocString(s)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_b); }
    operator BSTR() const { return m_b; }
private:
    BSTR m_b;
};

struct Variant : VARIANT {
    Variant() { ::VariantInit(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(this); }
};
