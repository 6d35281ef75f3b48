// The cast-macro client as C++: the same source, compiled as C++98 and C++11.
#include "macro_types.c"
