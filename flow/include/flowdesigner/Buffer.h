// Window of a node output's most recent frames, indexed by frame count.
#ifndef FLOWDESIGNER_BUFFER_H
#define FLOWDESIGNER_BUFFER_H

#include <vector>

#include "Object.h"

namespace FD {

/// Keeps the last `length` frame counts written. Writing a count beyond the newest slides the
/// window forward and clears the slots it passes.
class Buffer : public Object {
 public:
  explicit Buffer(int length = 1);

  /// Slot for frame `count`, for writing. A negative count, or one older than the window,
  /// throws a new BufferException "trying to write to non-existing element".
  ObjectRef& operator[](int count);
  /// The frame stored at `count`; throws a new BufferException if there is none.
  const ObjectRef& get(int count) const;
  /// True when a frame is stored at `count`.
  bool isValid(int count) const;

  int getLength() const { return static_cast<int>(slots.size()); }
  /// Grows the window to at least `length` counts, keeping what is held.
  void ensureLength(int length);
  /// Newest count written, or -1.
  int getCurrentPos() const { return currentPos; }

 private:
  bool inWindow(int count) const;
  std::vector<ObjectRef> slots;
  int currentPos = -1;
};

}  // namespace FD

#endif
