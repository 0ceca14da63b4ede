#pragma once

#include <functional>

// Ends the program at once, without unwinding or further events. Tests
// replace the handler to observe the request; callers return right after.
void endProgram(int exitCode);
void setEndProgramHandler(std::function<void(int)> handler);  // empty = production
