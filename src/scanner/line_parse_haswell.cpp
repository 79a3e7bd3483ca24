// The line parser again, built for AVX2 processors (simdjson's "haswell" kernel).
#define QUILLON_PARSE_NS haswell
#define QUILLON_PARSE_NAME "haswell"
#include "line_parse.cpp"
