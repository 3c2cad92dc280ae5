// Captures what a routine writes to standard output, through stdio or straight
// to the descriptor, for unit tests of routines that print.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

template <typename Body>
std::string captured_stdout(Body body) {
    std::fflush(stdout);
    FILE *sink = std::tmpfile();
    if (!sink) return "<tmpfile failed>";
    int saved = dup(1);
    dup2(fileno(sink), 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(sink);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) text.append(buffer, n);
    std::fclose(sink);
    return text;
}
