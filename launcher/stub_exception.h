// The two error types that every start-up failure is raised as.
#pragma once

#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

// Text layout: "<message>  (<file>:<line>)".
class _stub_exception : public std::exception {
public:
    _stub_exception(const std::string& message, int line, const std::string& file) {
        std::stringstream text(std::ios::in | std::ios::out);
        text << message << "  (" << file << ':' << line << ')';
        message_ = text.str();
    }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Text layout: "<message><signed error code>  (<file>:<line>)".
class _stub_exception_error : public std::exception {
public:
    _stub_exception_error(const std::string& message, uint32_t error_code, int line,
                          const std::string& file) {
        std::stringstream text(std::ios::in | std::ios::out);
        text << message << static_cast<int32_t>(error_code) << "  (" << file << ':' << line
             << ')';
        message_ = text.str();
    }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Raise sites name the source file and line of the raise.
#define STUB_RAISE(message) throw _stub_exception((message), __LINE__, __FILE__)
#define STUB_RAISE_ERROR(message, code) \
    throw _stub_exception_error((message), (code), __LINE__, __FILE__)
