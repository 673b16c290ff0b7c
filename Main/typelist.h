// The one list of record, command and event types: a type's id is its position in it.
#pragma once
#include "Lib/Include/kz_types.h"

// Status records have ids 0..63; commands, events and panel menu messages 64..101.
constexpr int FIRST_COMMAND_TYPE = 64;

// IndexOf<T>::value is the type id of record type T (declared by the record as TYPE_ID).
template <class T>
struct IndexOf {
  static constexpr int value = T::TYPE_ID;
};

namespace typelist {
// Name of a type id for the log ("Unknown" outside the list).
const char* typeName(int id);
}  // namespace typelist
