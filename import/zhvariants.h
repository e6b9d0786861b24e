#pragma once

// Chinese characters written in only one of the two scripts, from OpenCC's
// character dictionaries (tools/gen-zhvariants.py writes zhvariants.cpp).
// Both lists are sorted by code unit and hold BMP characters only.
namespace ZhVariants {

extern const char16_t SimplifiedOnly[];
extern const int SimplifiedOnlyCount;
extern const char16_t TraditionalOnly[];
extern const int TraditionalOnlyCount;

}
