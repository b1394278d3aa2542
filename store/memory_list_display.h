// A ListDisplay that only remembers its rows, in order. Used when no window is
// shown, and to see what the list would display.
#pragma once

#include <string>
#include <vector>

#include "store/list_display.h"

class MemoryListDisplay : public ListDisplay {
 public:
  void Clear() override { rows.clear(); }
  void AddItem(const std::string& item) override { rows.push_back(item); }

  std::vector<std::string> rows;
};
