// Typed views of array arguments through the buffer protocol, without copying.
//
// Checks, in this order: the buffer can be exported (writable where required), the number of
// dimensions, the element type (kind and size, native byte order), C-contiguity where declared.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "errors.hpp"

namespace sorvane::frame {

enum class Layout { Strided, CContiguous };
enum class Access { ReadOnly, Writable };

namespace detail {

enum class Kind { Signed, UnsignedOrBool, Float, Other };

struct FormatInfo {
    Kind kind;
    std::size_t size;
    const char* description;
};

inline FormatInfo describe_format_char(char code) {
    switch (code) {
        case 'b': return {Kind::Signed, 1, "'signed char'"};
        case 'B': return {Kind::UnsignedOrBool, 1, "'unsigned char'"};
        case '?': return {Kind::UnsignedOrBool, 1, "'bool'"};
        case 'h': return {Kind::Signed, sizeof(short), "'short'"};
        case 'H': return {Kind::UnsignedOrBool, sizeof(short), "'unsigned short'"};
        case 'i': return {Kind::Signed, sizeof(int), "'int'"};
        case 'I': return {Kind::UnsignedOrBool, sizeof(int), "'unsigned int'"};
        case 'l': return {Kind::Signed, sizeof(long), "'long'"};
        case 'L': return {Kind::UnsignedOrBool, sizeof(long), "'unsigned long'"};
        case 'q': return {Kind::Signed, sizeof(long long), "'long long'"};
        case 'Q': return {Kind::UnsignedOrBool, sizeof(long long), "'unsigned long long'"};
        case 'n': return {Kind::Signed, sizeof(Py_ssize_t), "'Py_ssize_t'"};
        case 'N': return {Kind::UnsignedOrBool, sizeof(size_t), "'size_t'"};
        case 'e': return {Kind::Float, 2, "'half'"};
        case 'f': return {Kind::Float, sizeof(float), "'float'"};
        case 'd': return {Kind::Float, sizeof(double), "'double'"};
        case 'g': return {Kind::Float, sizeof(long double), "'long double'"};
        case 'O': return {Kind::Other, 0, "Python object"};
        case 'P': return {Kind::Other, 0, "a pointer"};
        case 's':
        case 'p': return {Kind::Other, 0, "a string"};
        case 'T': return {Kind::Other, 0, "a struct"};
        case 0: return {Kind::Other, 0, "end"};
        default: return {Kind::Other, 0, "unparsable format string"};
    }
}

template <typename T>
constexpr Kind kind_of() {
    using U = std::remove_const_t<T>;
    if constexpr (std::is_floating_point_v<U>) return Kind::Float;
    else if constexpr (std::is_signed_v<U>) return Kind::Signed;
    else return Kind::UnsignedOrBool;
}

// Raises the dtype error unless `format` describes native elements of type T.
template <typename T>
void check_format(const char* format, const char* type_name) {
    const char* code = format != nullptr ? format : "B";
    bool standard_size = false;
    if (*code == '>' || *code == '!') raise(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    if (*code == '@') {
        ++code;
    } else if (*code == '<' || *code == '=') {
        standard_size = true;
        ++code;
    }
    FormatInfo info = describe_format_char(*code);
    if (standard_size && (*code == 'l' || *code == 'L')) info.size = 4;
    bool single = *code != 0 && code[1] == 0;
    if (!single || info.kind != kind_of<T>() || info.size != sizeof(T)) {
        raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", type_name, "'",
                     single || *code == 0 ? info.description : "unparsable format string");
    }
}

}  // namespace detail

// An N-dimensional view of elements of type T (const T for read-only access).
template <typename T, int N>
class ArrayView {
    static_assert(N >= 1 && N <= 2, "views are one- or two-dimensional");

public:
    ArrayView() = default;

    // `type_name` is the declared element type name used in messages ('DTYPE_t', 'int', ...).
    ArrayView(PyObject* obj, const char* type_name, Layout layout) {
        constexpr bool writable = !std::is_const_v<T>;
        int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
        check_status(PyObject_GetBuffer(obj, &buffer_, flags));
        acquired_ = true;
        try {
            check_and_read_shape(type_name, layout);
        } catch (...) {
            reset();  // a constructor that throws gets no destructor call
            throw;
        }
    }

    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ArrayView(ArrayView&& other) noexcept
        : buffer_(other.buffer_),
          acquired_(std::exchange(other.acquired_, false)),
          shape_(other.shape_),
          strides_(other.strides_) {}
    ArrayView& operator=(ArrayView&& other) noexcept {
        if (this != &other) {
            reset();
            buffer_ = other.buffer_;
            acquired_ = std::exchange(other.acquired_, false);
            shape_ = other.shape_;
            strides_ = other.strides_;
        }
        return *this;
    }
    ~ArrayView() { reset(); }

    Py_ssize_t shape(int d) const { return shape_[d]; }
    Py_ssize_t size() const { return N == 1 ? shape_[0] : shape_[0] * shape_[1]; }
    // Stride of dimension d in bytes.
    Py_ssize_t stride(int d) const { return strides_[d]; }
    T* data() const { return static_cast<T*>(buffer_.buf); }

    // Unchecked access: the caller has checked the indices against shape().
    T& operator()(Py_ssize_t i) const requires(N == 1) { return *element(i * strides_[0]); }
    T& operator()(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) {
        return *element(i * strides_[0] + j * strides_[1]);
    }

    // Checked access: an index outside [0, shape) raises IndexError.
    T& at(Py_ssize_t i) const requires(N == 1) {
        check_index(i, 0);
        return (*this)(i);
    }
    T& at(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) {
        check_index(i, 0);
        check_index(j, 1);
        return (*this)(i, j);
    }

    void check_index(Py_ssize_t i, int axis) const {
        if (i < 0 || i >= shape_[axis]) raise_format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    }

    bool is_c_contiguous() const {
        Py_ssize_t step = static_cast<Py_ssize_t>(sizeof(T));
        for (int d = N - 1; d >= 0; --d) {
            if (shape_[d] > 1 && strides_[d] != step) return false;
            step *= shape_[d];
        }
        return true;
    }

    // The elements as one span; only for views known to be C-contiguous.
    std::span<T> span() const { return {data(), static_cast<std::size_t>(size())}; }
    // Row i of a two-dimensional view whose rows are contiguous.
    std::span<T> row(Py_ssize_t i) const requires(N == 2) {
        return {element(i * strides_[0]), static_cast<std::size_t>(shape_[1])};
    }

private:
    void check_and_read_shape(const char* type_name, Layout layout) {
        if (buffer_.ndim != N) {
            raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", N,
                         buffer_.ndim);
        }
        detail::check_format<std::remove_const_t<T>>(buffer_.format, type_name);
        for (int d = 0; d < N; ++d) {
            shape_[d] = buffer_.shape[d];
            strides_[d] = buffer_.strides != nullptr ? buffer_.strides[d] : 0;
        }
        if (buffer_.strides == nullptr) {
            Py_ssize_t step = static_cast<Py_ssize_t>(sizeof(T));
            for (int d = N - 1; d >= 0; --d) {
                strides_[d] = step;
                step *= shape_[d];
            }
        }
        if (layout == Layout::CContiguous) check_c_contiguous();
    }

    T* element(Py_ssize_t byte_offset) const {
        return reinterpret_cast<T*>(static_cast<char*>(buffer_.buf) + byte_offset);
    }

    void check_c_contiguous() const {
        if (!is_c_contiguous()) raise(PyExc_ValueError, "Buffer not C contiguous.");
    }

    void reset() noexcept {
        if (acquired_) {
            PyBuffer_Release(&buffer_);
            acquired_ = false;
        }
    }

    Py_buffer buffer_{};
    bool acquired_ = false;
    std::array<Py_ssize_t, N> shape_{};
    std::array<Py_ssize_t, N> strides_{};
};

}  // namespace sorvane::frame
