// Stands in for libcurl's transfer so that a body can reach the code that
// reads it without a server: curl_easy_setopt is passed through to libcurl
// (so handles are real and checked) while the write callback and its data are
// noted, and curl_easy_perform hands the served bytes to that callback in
// chunks of libcurl's usual size.
#define CURL_DISABLE_TYPECHECK
#include "ServedBody.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>

namespace {

const uint8_t* servedData = nullptr;
size_t servedSize = 0;
curl_write_callback writeFunction = nullptr;
void* writeData = nullptr;

using SetOpt = CURLcode (*)(CURL*, CURLoption, ...);

SetOpt realSetOpt() {
    static const auto real = reinterpret_cast<SetOpt>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
    return real;
}

CURLcode deliver(const uint8_t* data, size_t size) {
    char* bytes = const_cast<char*>(reinterpret_cast<const char*>(data));
    for (size_t done = 0; done < size; done += CURL_MAX_WRITE_SIZE) {
        const size_t chunk = size - done < CURL_MAX_WRITE_SIZE ? size - done : CURL_MAX_WRITE_SIZE;
        if (writeFunction(bytes + done, 1, chunk, writeData) != chunk) {
            return CURLE_WRITE_ERROR;
        }
    }
    return CURLE_OK;
}

}  // namespace

void serveBody(const uint8_t* data, size_t size) {
    servedData = data;
    servedSize = size;
}

// The signature is libcurl's own, whose enum before the ellipsis clang warns
// about; libcurl reads its arguments the same way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"
extern "C" CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    va_list arguments;
    va_start(arguments, option);
    CURLcode result;
    if (option == CURLOPT_WRITEFUNCTION) {
        writeFunction = va_arg(arguments, curl_write_callback);
        result = realSetOpt()(handle, option, writeFunction);
    } else if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = realSetOpt()(handle, option, va_arg(arguments, long));
    } else if (option < CURLOPTTYPE_OFF_T) {
        void* pointer = va_arg(arguments, void*);
        if (option == CURLOPT_WRITEDATA) {
            writeData = pointer;
        }
        result = realSetOpt()(handle, option, pointer);
    } else if (option < CURLOPTTYPE_BLOB) {
        result = realSetOpt()(handle, option, va_arg(arguments, curl_off_t));
    } else {
        result = realSetOpt()(handle, option, va_arg(arguments, void*));
    }
    va_end(arguments);
    return result;
}
#pragma GCC diagnostic pop

extern "C" CURLcode curl_easy_perform(CURL*) {
    if (writeFunction == nullptr) {
        return CURLE_WRITE_ERROR;
    }
    return deliver(servedData, servedSize);
}
