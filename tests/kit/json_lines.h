#pragma once

// JSON Lines as the programs write them (--json on standard output, the
// audit log): every line one object, found again by its "record".

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <sstream>
#include <string>
#include <vector>

namespace oxu::testkit {

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Every line of text as a JSON object; a line that is not one fails the test.
inline std::vector<QJsonObject> parseJsonLines(const std::string& text) {
    std::vector<QJsonObject> objects;
    for (const std::string& line : splitLines(text)) {
        QJsonParseError error{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << "not JSON: " << line;
        EXPECT_TRUE(document.isObject()) << line;
        objects.push_back(document.object());
    }
    return objects;
}

// The objects whose "record" is kind ("attempt", "attempt-start", "summary").
inline std::vector<QJsonObject> records(const std::vector<QJsonObject>& objects, const char* kind) {
    std::vector<QJsonObject> found;
    for (const QJsonObject& object : objects) {
        if (object["record"].toString() == kind)
            found.push_back(object);
    }
    return found;
}

}  // namespace oxu::testkit
