// Iteration over Python iterables in C++ range-for loops, and unpacking.
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "error.hpp"
#include "ref.hpp"

namespace py {

// for (const py::Ref& item : py::iterate(o)): iter(o), then next() until StopIteration; an
// error of the iterator leaves the loop as py::Error.
class Iteration {
 public:
  class iterator {
   public:
    explicit iterator(Ref it) : it_(std::move(it)) { ++*this; }
    const Ref& operator*() const { return item_; }
    iterator& operator++() {
      item_ = Ref::adopt(PyIter_Next(it_.get()));
      if (!item_ && PyErr_Occurred()) throw_pending();
      return *this;
    }
    friend bool operator==(const iterator& i, std::default_sentinel_t) { return !i.item_; }

   private:
    Ref it_, item_;
  };

  explicit Iteration(PyObject* iterable) : it_(Ref::steal(PyObject_GetIter(iterable))) {}
  iterator begin() { return iterator(std::move(it_)); }
  std::default_sentinel_t end() const { return {}; }

 private:
  Ref it_;
};

inline Iteration iterate(PyObject* iterable) { return Iteration(iterable); }
inline Iteration iterate(const Ref& iterable) { return Iteration(iterable.get()); }

// `a, b, ... = value` with exactly `n` items, with Python's ValueError texts otherwise.
std::vector<Ref> unpack(const Ref& value, size_t n);

// for (auto& [key, value] : py::items(d)): the pairs of a dict, in order, as owned references.
class DictItems {
 public:
  class iterator {
   public:
    explicit iterator(PyObject* dict) : dict_(dict) { ++*this; }
    const std::pair<Ref, Ref>& operator*() const { return item_; }
    iterator& operator++() {
      PyObject *key = nullptr, *value = nullptr;
      done_ = !PyDict_Next(dict_, &pos_, &key, &value);
      item_ = done_ ? std::pair<Ref, Ref>() : std::pair(Ref::borrow(key), Ref::borrow(value));
      return *this;
    }
    friend bool operator==(const iterator& i, std::default_sentinel_t) { return i.done_; }

   private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    bool done_ = false;
    std::pair<Ref, Ref> item_;
  };

  explicit DictItems(Ref dict) : dict_(std::move(dict)) {}
  iterator begin() const { return iterator(dict_.get()); }
  std::default_sentinel_t end() const { return {}; }

 private:
  Ref dict_;  // held, so the dict outlives the loop
};

// The dict's items; TypeError for anything that is not a dict.
DictItems items(const Ref& dict);

}  // namespace py
