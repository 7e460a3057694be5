#pragma once
#include <string>
#include <string_view>

namespace brivane {

// A list of mark-up rows as a model edits it: the rich list box implements
// it on screen, tests implement it with fixed metrics. Each row carries a
// tag chosen by whoever inserts it (the message list stores the account the
// row belongs to). Geometry is in device-independent pixels, measured from
// the top of the first row, without scrolling.
class RowList {
 public:
  virtual ~RowList() = default;
  virtual int count() const = 0;
  // The row's mark-up; an empty text out of range.
  virtual const std::string& text(int index) const = 0;
  // The row's tag; -1 out of range.
  virtual int tag(int index) const = 0;
  // Inserts before `index` (clamped to 0..count).
  virtual void insert(int index, std::string text, int tag) = 0;
  // Replaces a row's text and tag (the row is measured again).
  virtual void replace(int index, std::string text, int tag) = 0;
  virtual void remove(int index) = 0;
  virtual void clear() = 0;
  // Bottom edge (exclusive) and height of a row; 0 out of range.
  virtual int rowBottom(int index) const = 0;
  virtual int rowHeight(int index) const = 0;
  // The height a row of this text would have, measured as rows are
  // (nothing is inserted): lets a model decide what fits before it adds.
  virtual int measureRow(std::string_view text) = 0;
  // Width available to the rows.
  virtual int clientWidth() const = 0;
  // Nested; nothing is drawn between the first begin and the last end.
  virtual void beginUpdate() = 0;
  virtual void endUpdate() = 0;
};

}  // namespace brivane
