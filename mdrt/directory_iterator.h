// Forward iterator over one directory. Copies share one reader, so advancing
// any copy advances them all; an iterator without a reader is the end.
#ifndef MDRT_DIRECTORY_ITERATOR_H
#define MDRT_DIRECTORY_ITERATOR_H

#include <cstddef>
#include <iterator>
#include <memory>
#include <new>

#include "agent/platform/directory_reader.h"

template <class C>
class Directory_Iterator_T {
 public:
  typedef std::forward_iterator_tag iterator_category;
  typedef Directory_Entry_T<C> value_type;
  typedef std::ptrdiff_t difference_type;
  typedef const value_type* pointer;
  typedef const value_type& reference;

  // The end iterator.
  Directory_Iterator_T() {}

  // Opens `path` and reads its first entry. A null or empty path, or one
  // that cannot be opened or read, gives an iterator without a reader
  // (errno tells why); an empty directory gives one already at its end.
  Directory_Iterator_T(const C* path, bool flag, unsigned flags) {
    if (!path || !*path) return;
    std::shared_ptr<handle_t> handle(new (std::nothrow) handle_t);
    if (!handle) return;
    if (!handle->reader.open(path, flag, flags)) return;
    if (!handle->reader.read(handle->entry)) {
      if (handle->reader.error()) return;
      handle->end = true;
    }
    handle_ = handle;
  }

  // False when opening failed: the end iterator carries no reader.
  bool has_handle() const { return handle_ != nullptr; }

  reference operator*() const { return handle_->entry; }
  pointer operator->() const { return &handle_->entry; }

  Directory_Iterator_T& operator++() {
    if (handle_ && !handle_->end && !handle_->reader.read(handle_->entry))
      handle_->end = true;
    return *this;
  }

  bool operator==(const Directory_Iterator_T& other) const {
    if (handle_ == other.handle_) return true;
    if (!other.handle_) return handle_->end;
    if (!handle_) return other.handle_->end;
    return false;
  }
  bool operator!=(const Directory_Iterator_T& other) const {
    return !(*this == other);
  }

 private:
  struct handle_t {
    Directory_Entry_T<C> entry;
    Directory_Reader reader;
    bool end = false;
  };
  std::shared_ptr<handle_t> handle_;
};

#endif
