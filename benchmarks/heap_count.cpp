// Replacements of the global allocation functions that count each call and
// then allocate with malloc. The aligned forms are replaced too, so that no
// allocation escapes the count.
#include "heap_count.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<std::size_t> g_allocations{0};
std::atomic<bool> g_poison{false};
constexpr int kPoison = 0xA5;

void* counted(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr && g_poison.load(std::memory_order_relaxed)) {
        std::memset(p, kPoison, size);
    }
    return p;
}

void* counted_aligned(std::size_t size, std::align_val_t align)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto a = static_cast<std::size_t>(align);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + a - 1) / a * a;
    return std::aligned_alloc(a, rounded == 0 ? a : rounded);
}

}  // namespace

void heapcount::set_poison(bool on)
{
    g_poison.store(on, std::memory_order_relaxed);
}

std::size_t heapcount::allocations()
{
    return g_allocations.load(std::memory_order_relaxed);
}

void* operator new(std::size_t size)
{
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    return counted(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    return counted(size);
}
void* operator new(std::size_t size, std::align_val_t align)
{
    if (void* p = counted_aligned(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align)
{
    if (void* p = counted_aligned(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t& /*tag*/) noexcept
{
    return counted_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align,
                     const std::nothrow_t& /*tag*/) noexcept
{
    return counted_aligned(size, align);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t /*size*/) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t /*size*/) noexcept
{
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t /*align*/) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t /*align*/) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t /*size*/, std::align_val_t /*align*/) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t /*size*/, std::align_val_t /*align*/) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t /*align*/, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t /*align*/, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(p);
}
