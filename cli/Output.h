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
    // With --json, a failure as one object: "device" (null when none was
    // chosen), `result`'s keys, then "error" with the exit status and the
    // message. Written as far as standard output takes it; a reader that is
    // gone changes nothing more.
    void failure(const std::string &device, int status, const std::string &message,
                 const nlohmann::ordered_json &result);
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
