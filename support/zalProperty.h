#pragma once
#include <utility>
// Declares a record property: the field `FName`, the read accessor `Name()` and
// the setter `SetName(value)`, which moves an rvalue in rather than copying it.
// The field is protected; the macro leaves the access at `protected`, so
// declarations after it state their own access.
#define ZAL_PROPERTY(Type, Name)                              \
public:                                                       \
  const Type& Name() const { return F##Name; }                \
  void Set##Name(Type value) { F##Name = std::move(value); }  \
                                                              \
protected:                                                    \
  Type F##Name
