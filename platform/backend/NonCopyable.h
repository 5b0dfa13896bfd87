// A base for classes that own something (a descriptor, a connection, a thread, a signal
// mask) and so can be neither copied nor moved.
#pragma once

class NonCopyable {
  protected:
    NonCopyable() = default;
    ~NonCopyable() = default;

  public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;
};
