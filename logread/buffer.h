// A byte buffer left uninitialised: a large buffer then costs page faults
// only for the part a read actually uses.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

class byte_buffer {
  public:
    explicit byte_buffer(std::size_t size) : data_(std::make_unique_for_overwrite<char[]>(size)), size_(size) {}
    char *data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::span<char> span() const { return {data_.get(), size_}; }
    char &operator[](std::size_t i) const { return data_[i]; }

  private:
    std::unique_ptr<char[]> data_;
    std::size_t size_;
};
