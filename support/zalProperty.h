#pragma once
// Declares a record property: the field `FName`, the read accessor `Name()` and
// the setter `SetName(value)`. The field is protected; the macro leaves the
// access at `protected`, so declarations after it state their own access.
#define ZAL_PROPERTY(Type, Name)                              \
public:                                                       \
  const Type& Name() const { return F##Name; }                \
  void Set##Name(const Type& value) { F##Name = value; }      \
                                                              \
protected:                                                    \
  Type F##Name
