#include "NodeOutputText.h"

#include "Json.h"
#include "PrintableText.h"

namespace cli {

namespace {

json_object* textArray(const std::vector<std::string>& texts) {
    json_object* array = json_object_new_array();
    for (const std::string& text : texts) {
        json_object_array_add(array, newText(text));
    }
    return array;
}

json_object* recordArray(const NodeOutput& out) {
    json_object* array = json_object_new_array();
    for (const auto& [tag, data] : out.records) {
        json_object* record = json_object_new_object();
        setNumber(record, "tag", tag);
        setText(record, "data", data);
        json_object_array_add(array, record);
    }
    return array;
}

json_object* valueArray(const std::vector<uint32_t>& values) {
    json_object* array = json_object_new_array();
    for (uint32_t value : values) {
        json_object_array_add(array, json_object_new_int64(value));
    }
    return array;
}

json_object* mapObject(const std::map<uint32_t, std::string>& map) {
    json_object* object = json_object_new_object();
    for (const auto& [key, text] : map) {
        setText(object, std::to_string(key).c_str(), text);
    }
    return object;
}

std::string listText(const char* heading, const std::vector<std::string>& texts) {
    std::string result = std::string(heading) + ":\n";
    for (const std::string& text : texts) {
        result += "  " + printableText(text) + "\n";
    }
    return result;
}

std::string recordsText(const NodeOutput& out) {
    std::string result = "records:\n";
    for (const auto& [tag, data] : out.records) {
        result += "  tag " + std::to_string(tag) + ": " + printableText(data) + "\n";
    }
    return result;
}

std::string mapText(const NodeOutput& out) {
    std::string result = "map:\n";
    for (const auto& [key, text] : out.map) {
        result += "  " + std::to_string(key) + ": " + printableText(text) + "\n";
    }
    return result;
}

std::string valuesText(const NodeOutput& out) {
    std::string result = "values:";
    for (uint32_t value : out.values) {
        result += " " + std::to_string(value);
    }
    return result + "\n";
}

std::string fileInfoText(const NodeOutput& out) {
    return "size: " + std::to_string(out.size) + "\nextra: " + std::to_string(out.extra) +
           "\nsha256: " + hexText(out.sha256, sizeof out.sha256) + "\n";
}

// Each output field in its two forms, in the order they are shown.
struct FieldForm {
    Field field;
    void (*addJson)(json_object* result, const NodeOutput& out);
    std::string (*text)(const NodeOutput& out);
};

const FieldForm kForms[] = {
    {kTexts, [](json_object* r, const NodeOutput& o) { setValue(r, "texts", textArray(o.texts)); },
     [](const NodeOutput& o) { return listText("texts", o.texts); }},
    {kValue,
     [](json_object* r, const NodeOutput& o) {
         setValue(r, "value", json_object_new_uint64(o.value));
     },
     [](const NodeOutput& o) { return "value: " + std::to_string(o.value) + "\n"; }},
    {kValues,
     [](json_object* r, const NodeOutput& o) { setValue(r, "values", valueArray(o.values)); },
     valuesText},
    {kRecords, [](json_object* r, const NodeOutput& o) { setValue(r, "records", recordArray(o)); },
     recordsText},
    {kLines, [](json_object* r, const NodeOutput& o) { setValue(r, "lines", textArray(o.lines)); },
     [](const NodeOutput& o) { return listText("lines", o.lines); }},
    {kMap, [](json_object* r, const NodeOutput& o) { setValue(r, "map", mapObject(o.map)); },
     mapText},
    {kFileInfo,
     [](json_object* r, const NodeOutput& o) {
         setNumber(r, "size", o.size);
         setNumber(r, "extra", o.extra);
         setText(r, "sha256", hexText(o.sha256, sizeof o.sha256));
     },
     fileInfoText},
};

}  // namespace

std::string hexText(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4U];
        text += kDigits[bytes[i] & 0x0FU];
    }
    return text;
}

json_object* outputObject(unsigned fields, const NodeOutput& out) {
    json_object* result = json_object_new_object();
    for (const FieldForm& form : kForms) {
        if ((fields & form.field) != 0) {
            form.addJson(result, out);
        }
    }
    return result;
}

std::string outputText(unsigned fields, const NodeOutput& out) {
    std::string text;
    for (const FieldForm& form : kForms) {
        if ((fields & form.field) != 0) {
            text += form.text(out);
        }
    }
    return text.empty() ? "ok\n" : text;
}

}  // namespace cli
