#pragma once

// Reading the logger's CSV records "tag,millis,file,line,function,message".

#include <string>
#include <vector>

// The six fields of a record line; the message may hold commas.
inline std::vector<std::string> recordFields(const std::string& record) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (int i = 0; i < 5; ++i) {
        const std::size_t comma = record.find(',', start);
        if (comma == std::string::npos) {
            break;
        }
        fields.push_back(record.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(record.substr(start));
    return fields;
}

// The first line of a text, line feed included.
inline std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n') + 1);
}
