#include "download/setup/normalpriorityscope.h"

NormalPriorityScope::NormalPriorityScope() {
  const DWORD own = GetPriorityClass(GetCurrentProcess());
  if (own != BELOW_NORMAL_PRIORITY_CLASS && own != IDLE_PRIORITY_CLASS) return;
  if (SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS)) previous_ = own;
}

NormalPriorityScope::~NormalPriorityScope() {
  if (previous_ != 0) SetPriorityClass(GetCurrentProcess(), previous_);
}
