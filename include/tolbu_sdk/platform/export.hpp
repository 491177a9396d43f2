#pragma once
// What the SDK's shared libraries export. They are built with hidden visibility, so that
// nothing of Boost or of their internals leaks into a strategy's link; the API is marked.

// Marks a class or function as part of the shared libraries' interface.
#define TOLBU_API __attribute__((visibility("default")))
