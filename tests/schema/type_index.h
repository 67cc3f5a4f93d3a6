// Every type of the schema with its descriptor (the table is generated with
// the classes).
#pragma once

#include "asn1/asn1.h"

namespace TypeIndex {

struct Entry {
    char const* name; // Module::Type
    ASN1::DataInfo const* info;
};

extern const Entry entries[];
extern const unsigned count;

} // namespace TypeIndex
