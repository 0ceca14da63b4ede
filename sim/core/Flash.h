// Non-volatile memory of the simulated driver.
//
// The image is a small text file: a header line, KEY=VALUE lines, and a last
// line holding a CRC-32 of everything before it. Text keeps it readable when
// debugging a test; the checksum is what decides whether it is trusted.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace zsim {

// Where the image lives. The model only ever reads it whole at power-up and
// writes it whole on STORE.
class FlashStorage {
public:
    virtual ~FlashStorage() = default;
    virtual std::optional<std::string> read() = 0;  // nullopt: nothing stored, or a fault
    virtual bool write(const std::string &image) = 0;
    // Why the last read() found nothing although something may be stored
    // (the file is unreadable, or not a file); empty when nothing is stored.
    virtual std::string fault() const { return {}; }
    // What the log should hear of the last write(), once: why it failed, or
    // what went wrong after the new image was in place; empty when nothing did
    // or it was told already.
    virtual std::string takeWriteFault() { return {}; }
};

class MemoryFlash final : public FlashStorage {
public:
    std::optional<std::string> read() override { return image_; }
    bool write(const std::string &image) override
    {
        image_ = image;
        return true;
    }
    std::optional<std::string> image_;
};

// Written whole to a temporary file, synced, renamed over the old image and
// the folder synced, so a crash or power loss leaves either the old image or
// the new one, never a mix or an empty file. A flash path that is a symbolic
// link stays one: its target is what gets replaced.
//
// A missing file is a blank flash. One that exists but cannot be read (no
// permission, a folder, a FIFO) is a fault, and write() refuses to replace
// it: what could not be read may still be somebody's image.
class FileFlash final : public FlashStorage {
public:
    explicit FileFlash(std::string path) : path_(std::move(path)) {}
    std::optional<std::string> read() override;
    bool write(const std::string &image) override;
    std::string fault() const override { return fault_; }
    std::string takeWriteFault() override { return std::exchange(writeFault_, {}); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::string fault_;
    std::string writeFault_;
};

using FlashRecord = std::map<std::string, std::string>;

std::string encodeFlash(const FlashRecord &record);
// nullopt when the image is not one we wrote or its checksum does not match.
std::optional<FlashRecord> decodeFlash(const std::string &image);

}  // namespace zsim
