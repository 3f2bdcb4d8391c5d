// Owning wrappers for Win32 handles, each knowing its own empty value, and scope_exit.
#pragma once
#include <windows.h>
#include <utility>

namespace tk {

// NULL is empty: events, mutexes, threads, processes.
struct handle_traits {
    using type = HANDLE;
    static type empty() { return nullptr; }
    static void close(type h) { CloseHandle(h); }
};
// INVALID_HANDLE_VALUE is empty: CreateFile, CreateNamedPipe.
struct hfile_traits {
    using type = HANDLE;
    static type empty() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { CloseHandle(h); }
};
struct hkey_traits {
    using type = HKEY;
    static type empty() { return nullptr; }
    static void close(type h) { RegCloseKey(h); }
};
// A module loaded with LoadLibrary: FreeLibrary gives it back.
struct hmodule_traits {
    using type = HMODULE;
    static type empty() { return nullptr; }
    static void close(type h) { FreeLibrary(h); }
};

// Move-only owner: closes what it holds when it goes or is reset.
template <class Traits>
class unique_any {
public:
    using type = typename Traits::type;
    unique_any() = default;
    explicit unique_any(type h) : h_(h) {}
    unique_any(unique_any&& o) noexcept : h_(o.release()) {}
    unique_any& operator=(unique_any&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    type get() const { return h_; }
    bool valid() const { return h_ != Traits::empty(); }
    explicit operator bool() const { return valid(); }
    type release() {
        type h = h_;
        h_ = Traits::empty();
        return h;
    }
    void reset(type h = Traits::empty()) {
        if (h_ != Traits::empty()) Traits::close(h_);
        h_ = h;
    }
    // Closes what it holds and hands out the slot for an API that writes a handle.
    type* put() {
        reset();
        return &h_;
    }

private:
    type h_ = Traits::empty();
};

using unique_handle = unique_any<handle_traits>;
using unique_hfile = unique_any<hfile_traits>;
using unique_hkey = unique_any<hkey_traits>;
using unique_hmodule = unique_any<hmodule_traits>;

// Runs a function when the scope ends, unless released.
template <class F>
class scope_exit {
public:
    explicit scope_exit(F f) : f_(std::move(f)) {}
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;
    ~scope_exit() {
        if (armed_) f_();
    }
    void release() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

} // namespace tk
