// A property a fuzz target asserts: its failure is a finding (abort).
#pragma once

#include <cstdlib>

#define CHECK(x)                                                                                   \
    do {                                                                                           \
        if (!(x)) std::abort();                                                                    \
    } while (0)
