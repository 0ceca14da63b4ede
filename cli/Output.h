// What zentactl prints on standard output: plain lines, or with --json one
// JSON object per reading or result. Output that cannot be written ends the
// program.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zentactl {

class Output {
public:
    explicit Output(bool json) : json_(json) {}
    bool json() const { return json_; }

    // One result: `text` (a line, or several) without --json, `object` with it.
    void result(const std::string &text, const nlohmann::ordered_json &object);
    void line(const std::string &text);   // only without --json
    void object(const nlohmann::ordered_json &o);  // only with --json
    // Bytes as they are (a program text, a settings file).
    void bytes(const std::string &data);
    // A reader that goes away (a pipe into head) ends the program quietly,
    // unless what is written is the very data asked for (a reading, a
    // program, a settings file): losing that is a failure.
    void carriesData() { carriesData_ = true; }

private:
    void write(const std::string &data);
    bool json_;
    bool carriesData_ = false;
};

}  // namespace zentactl
