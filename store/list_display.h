// A display of rows of text that the URL list fills, one row per entry.
//
// The window's list box implements it; MemoryListDisplay (memory_list_display.h)
// keeps the rows in memory when no window is shown.
#pragma once

#include <string>

class ListDisplay {
 public:
  virtual ~ListDisplay() = default;

  // Removes every row.
  virtual void Clear() = 0;
  // Appends `item` as the new last row.
  virtual void AddItem(const std::string& item) = 0;
};
