#include "Model.h"

#include "zenta/lang/decimal.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zsim {

namespace {

constexpr const char *kIdentity = "KVL-CFG-UV-USB";
constexpr const char *kVersion = "V113BLSA";
constexpr int kVolatileVars = 25;
constexpr std::int64_t kSpeedMax = 6'000'000;  // pulses/s
constexpr std::int64_t kAccMax = 65'535;       // ms to full speed
constexpr std::int64_t kDefaultSpeed = 1000;
constexpr std::int64_t kDefaultAcc = 300;

using Num = zenta::lang::Decimal;

// Decimal with optional sign and surrounding blanks. Values too large for any
// register are reported as out of range rather than overflowing.
Num parseNumber(std::string_view s, std::int64_t &out)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return zenta::lang::parseDecimal(s, out);
}

std::string numError(Num n) { return n == Num::Range ? "?RANGE" : "?SYNTAX"; }

// Reads a value that must lie in [lo, hi]; on failure `reply` holds the error.
bool readValue(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t &out,
               std::string &reply)
{
    const Num n = parseNumber(text, out);
    if (n != Num::Ok) {
        reply = numError(n);
        return false;
    }
    if (out < lo || out > hi) {
        reply = "?RANGE";
        return false;
    }
    return true;
}

// "V1".."V50" -> 1..50, anything else 0.
int variableIndex(std::string_view name)
{
    if (name.size() < 2 || name.size() > 3 || name[0] != 'V' || name[1] == '0')
        return 0;
    int n = 0;
    for (char c : name.substr(1)) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + (c - '0');
    }
    return n <= 50 ? n : 0;
}

// "SASTAT"/"SPC"/"SR" followed by nothing (-1, whole program), "0" or "1".
bool threadSuffix(std::string_view name, std::string_view stem, int &thread)
{
    if (name.substr(0, stem.size()) != stem)
        return false;
    const auto rest = name.substr(stem.size());
    if (rest.empty())
        thread = -1;
    else if (rest == "0" || rest == "1")
        thread = rest[0] - '0';
    else
        return false;
    return true;
}

std::string num(std::int64_t v) { return std::to_string(v); }

// The stored program in the flash record: its line count under "PGM", line k
// under "PGM0001".."PGM1275".
constexpr const char *kProgramKey = "PGM";

std::string programLineKey(int k)
{
    char key[16];
    std::snprintf(key, sizeof key, "%s%04d", kProgramKey, k);
    return key;
}

bool isProgramKey(const std::string &key) { return key.rfind(kProgramKey, 0) == 0; }

void putProgram(FlashRecord &r, const std::vector<std::string> &lines)
{
    std::erase_if(r, [](const auto &kv) { return isProgramKey(kv.first); });
    if (lines.empty())
        return;
    r[kProgramKey] = num(static_cast<std::int64_t>(lines.size()));
    for (std::size_t k = 0; k < lines.size(); ++k)
        r[programLineKey(static_cast<int>(k) + 1)] = lines[k];
}

}  // namespace

// P1..P5 and P7 have no function in this driver model; they keep whatever is
// written so a settings round trip reads back what it wrote.
const Model::ParamDef Model::kParams[kParamCount] = {
    {"P1", 0, 65535, 0, true},   {"P2", 0, 65535, 0, true},   {"P3", 0, 65535, 0, false},
    {"P4", 0, 65535, 0, false},  {"P5", 0, 65535, 0, false},  {"P6", 1, 20, 10, false},
    {"P7", 0, 65535, 0, true},   {"P8", 1, 21, 5, false},     {"P9", 1, 4, 4, false},
    {"PA", 1, 2, 1, false},      {"PB", 0, 65535, 100, false}, {"POL", 0, 3, 0, false},
    {"DOBOOT", 0, 3, 0, false},  {"SLOAD", 0, 3, 0, false},
};

Model::Model(FlashStorage &flash, std::string factoryName, Micros now)
    : flash_(flash), factoryName_(zenta::lang::isDeviceName(factoryName) ? std::move(factoryName) : "CFG01")
{
    powerUp(now);
}

void Model::advanceTo(Micros now)
{
    if (!advanceTo(now, Interpreter::kMaxStepsPerRun))
        fallBehind(now);
}

bool Model::advanceTo(Micros now, int maxStatements)
{
    if (!programs_.threads().runUntil(std::max(now, now_), *this, maxStatements))
        return false;
    moveTimeTo(now);
    return true;
}

void Model::fallBehind(Micros now)
{
    programs_.threads().fallBehind(now);
    moveTimeTo(now);
}

Micros Model::moveTimeTo(Micros t)
{
    if (t > now_)
        now_ = t;
    return now_;
}

void Model::loadFlash()
{
    for (int i = 0; i < kParamCount; ++i)
        params_[i] = kParams[i].def;
    name_ = factoryName_;
    vars_.fill(0);
    storedSettings_.clear();
    programs_.clear();
    programState_ = ProgramState::None;

    const auto image = flash_.read();
    if (!image) {
        flashState_ = flash_.fault().empty() ? FlashState::Blank : FlashState::Unreadable;
        return;
    }
    auto record = decodeFlash(*image);
    FlashRecord program;
    if (record) {
        for (auto it = record->begin(); it != record->end();) {
            if (isProgramKey(it->first)) {
                program.insert(*it);
                it = record->erase(it);
            } else {
                ++it;
            }
        }
    }
    auto params = params_;
    auto vars = vars_;
    std::string name = name_;
    bool ok = record.has_value();
    for (const auto &[key, value] : ok ? *record : FlashRecord{}) {
        std::int64_t v = 0;
        std::string ignored;
        const int var = variableIndex(key);
        const auto def = std::find_if(std::begin(kParams), std::end(kParams),
                                      [&key = key](const ParamDef &d) { return key == d.name; });
        if (key == "DN" && zenta::lang::isDeviceName(value))
            name = value;
        else if (var > kVolatileVars && readValue(value, INT32_MIN, INT32_MAX, v, ignored))
            vars[var - 1] = static_cast<std::int32_t>(v);
        else if (def != std::end(kParams) && readValue(value, def->min, def->max, v, ignored))
            params[def - kParams] = v;
        else
            ok = false;  // an image that checks out but holds nonsense is not trusted either
    }
    if (!ok) {
        // Whatever program the image held cannot be trusted either.
        flashState_ = FlashState::Corrupt;
        programState_ = ProgramState::Corrupt;
        return;
    }
    params_ = params;
    vars_ = vars;
    name_ = name;
    flashState_ = FlashState::Loaded;
    storedSettings_ = std::move(*record);
    loadProgram(program);
}

// A program part that does not hold together (lines missing, a line the
// reader refuses) is kept out of the device; the settings still load.
void Model::loadProgram(FlashRecord &record)
{
    if (record.empty())
        return;
    std::int64_t count = 0;
    std::string ignored;
    const auto countIt = record.find(kProgramKey);
    if (countIt == record.end() ||
        !readValue(countIt->second, 1, zenta::lang::kMaxCompiledLines, count, ignored) ||
        record.size() != static_cast<std::size_t>(count) + 1) {
        programState_ = ProgramState::Corrupt;
        return;
    }
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (int k = 1; k <= count; ++k) {
        const auto it = record.find(programLineKey(k));
        if (it == record.end()) {
            programState_ = ProgramState::Corrupt;
            return;
        }
        lines.push_back(it->second);
    }
    zenta::lang::ParsedProgram parsed = zenta::lang::parseCompiled(lines);
    if (!parsed.ok) {
        programState_ = ProgramState::Corrupt;
        return;
    }
    programs_.install(std::move(lines), std::move(parsed.program));
    programState_ = ProgramState::Stored;
}

void Model::powerUp(Micros now)
{
    advanceTo(now);
    loadFlash();
    pendingName_ = name_;
    axis_ = Axis(now_);
    hspd_ = kDefaultSpeed;
    acc_ = kDefaultAcc;
    incremental_ = false;
    enabled_ = true;
    outputs_ = static_cast<unsigned>(params_[DOBOOT]);
    transfer_.abandon();
    sloadAtBoot_ = static_cast<int>(params_[SLOAD]);
    programs_.powerUp(sloadAtBoot_, now_);
}

bool Model::mayReplaceFlash()
{
    if (flashState_ != FlashState::Unreadable)
        return true;
    // What the device could not read at power-up may hold a name, settings
    // and a program it never loaded: no write of any kind replaces that
    // before a power-up has read it. Only once it is gone may one be written.
    if (flash_.read() || !flash_.fault().empty())
        return false;
    flashState_ = FlashState::Blank;
    return true;
}

std::string Model::store()
{
    if (!mayReplaceFlash())
        return "?FLASH";
    FlashRecord r;
    for (int i = 0; i < kParamCount; ++i)
        r[kParams[i].name] = num(params_[i]);
    r["DN"] = pendingName_;
    for (int i = kVolatileVars; i < 50; ++i)
        r["V" + num(i + 1)] = num(vars_[i]);
    putProgram(r, programs_.lines());
    if (!flash_.write(encodeFlash(r)))
        return "?FLASH";
    putProgram(r, {});
    storedSettings_ = std::move(r);
    flashState_ = FlashState::Loaded;  // the flash now holds an image of ours
    if (programState_ == ProgramState::Corrupt)
        programState_ = ProgramState::None;  // the untrusted program is gone from the flash now
    return "OK";
}

// Flash first: memory changes only once the new image is safely in place,
// so a failed write leaves the old program everywhere.
std::string Model::commitProgram(ProgramTransfer::Checked checked)
{
    if (!mayReplaceFlash())
        return "?FLASH";
    FlashRecord r = storedSettings_;
    putProgram(r, checked.lines);
    if (!flash_.write(encodeFlash(r)))
        return "?FLASH";
    flashState_ = FlashState::Loaded;
    programs_.install(std::move(checked.lines), std::move(checked.program));
    programState_ = ProgramState::Stored;
    return "OK";
}

std::string Model::programCommand(std::string_view name, bool hasValue, std::string_view value, bool &handled)
{
    namespace tr = zenta::lang::transfer;
    handled = true;
    if (auto step = transfer_.handle(name, hasValue, value, programs_.busy()))
        return step->checked ? commitProgram(std::move(*step->checked)) : step->reply;

    const bool info = name == tr::kInfo;
    const auto line = tr::numberedName(name, tr::kRead);
    if (!info && !line) {
        handled = false;
        return {};
    }
    if (hasValue)
        return "?READONLY";
    if (programState_ == ProgramState::Corrupt)
        return "?CORRUPT";
    const auto &lines = programs_.lines();
    if (lines.empty())
        return "?NOPROGRAM";
    if (info)
        return tr::infoReply(static_cast<int>(lines.size()), zenta::lang::programChecksum(lines));
    if (*line == 0)
        return "?SYNTAX";
    if (static_cast<std::size_t>(*line) > lines.size())
        return "?RANGE";
    return lines[static_cast<std::size_t>(*line) - 1];
}

std::vector<std::pair<int, std::int32_t>> Model::changedVariables(const Variables &before) const
{
    std::vector<std::pair<int, std::int32_t>> out;
    for (std::size_t k = 0; k < vars_.size(); ++k)
        if (vars_[k] != before[k])
            out.emplace_back(static_cast<int>(k) + 1, vars_[k]);
    return out;
}

unsigned Model::outputLevels() const { return (params_[POL] & 1) ? outputs_ ^ 3u : outputs_; }

long double Model::accelRate() const
{
    return static_cast<long double>(hspd_) * 1000.0L / static_cast<long double>(acc_);
}

int Model::presentCurrent() const
{
    if (!enabled_)
        return kZeroCurrent;
    if (axis_.moving(now_))
        return static_cast<int>(params_[P6]);
    const Micros idleAfter = params_[PB] * 10'000;
    if (now_ - axis_.restingSince(now_) >= idleAfter)
        return static_cast<int>(params_[P8]);
    return static_cast<int>(params_[P6]);
}

int Model::motionStatus() const { return axis_.motionBits(now_) | presentCurrent() << 3; }

std::string Model::motionRefusal() const
{
    if (params_[PA] != 1)
        return "?ANALOG";
    if (!enabled_)
        return "?DISABLED";
    return {};
}

std::string Model::setParam(int index, std::string_view value)
{
    const ParamDef &d = kParams[index];
    std::int64_t v = 0;
    std::string reply;
    if (d.emptyKeeps && parseNumber(value, v) == Num::Empty)
        return "OK";
    if (!readValue(value, d.min, d.max, v, reply))
        return reply;
    params_[index] = v;
    if (index == PA && v != 1)
        axis_.abort(now_);  // the analog input takes over the axis
    return "OK";
}

std::string Model::motion(std::string_view name, bool hasValue)
{
    if (hasValue)
        return "?SYNTAX";
    if (name == "ABORT") {
        axis_.abort(now_);
        return "OK";
    }
    if (name == "STOP") {
        axis_.stop(now_, accelRate());
        return "OK";
    }
    std::int64_t target = 0;
    if (name[0] == 'X') {
        std::int64_t v = 0;
        const Num n = parseNumber(name.substr(1), v);
        if (n != Num::Ok)
            return n == Num::Empty ? "?SYNTAX" : numError(n);
        target = incremental_ ? axis_.position(now_) + v : v;
        if (target < Axis::kMin || target > Axis::kMax)
            return "?RANGE";
    }
    if (auto refusal = motionRefusal(); !refusal.empty())
        return refusal;
    if (name == "J+" || name == "J-")
        axis_.jog(now_, name[1] == '+' ? 1 : -1, hspd_, accelRate());
    else
        axis_.moveTo(now_, target, hspd_, accelRate());
    return "OK";
}

std::string Model::handle(std::string_view command)
{
    if (command.empty())
        return "?EMPTY";
    const auto eq = command.find('=');
    const bool hasValue = eq != std::string_view::npos;
    const auto name = command.substr(0, eq);
    const auto value = hasValue ? command.substr(eq + 1) : std::string_view{};
    return dispatch(name, hasValue, value);
}

std::string Model::dispatch(std::string_view name, bool hasValue, std::string_view value)
{
    std::string reply;
    std::int64_t v = 0;

    for (int i = 0; i < kParamCount; ++i)
        if (name == kParams[i].name)
            return hasValue ? setParam(i, value) : num(params_[i]);

    if (const int var = variableIndex(name)) {
        if (!hasValue)
            return num(vars_[var - 1]);
        if (!readValue(value, INT32_MIN, INT32_MAX, v, reply))
            return reply;
        vars_[var - 1] = static_cast<std::int32_t>(v);
        return "OK";
    }

    bool program = false;
    if (std::string r = programCommand(name, hasValue, value, program); program)
        return r;

    int thread = 0;
    if (threadSuffix(name, "SR", thread)) {
        if (!hasValue)
            return "?SYNTAX";
        if (!readValue(value, 0, 3, v, reply))
            return reply;
        return programs_.control(thread, static_cast<RunAction>(v), now_);
    }

    // Read-only words.
    std::string ro;
    if (name == "ID")
        ro = kIdentity;
    else if (name == "VER")
        ro = kVersion;
    else if (name == "PX" && !hasValue)
        ro = num(axis_.position(now_));
    else if (name == "MST")
        ro = num(motionStatus());
    else if (name == "DI")
        ro = num((params_[POL] & 2) ? inputs_ ^ kInputMask : inputs_);
    else if (name == "AI")
        ro = num(analog_);
    else if (threadSuffix(name, "SPC", thread))
        ro = num(programs_.pc(thread));
    else if (threadSuffix(name, "SASTAT", thread))
        ro = num(static_cast<int>(programs_.state(thread)));
    if (!ro.empty())
        return hasValue ? "?READONLY" : ro;

    if (name == "DN") {
        if (!hasValue)
            return name_;
        if (!zenta::lang::isDeviceName(value))
            return "?SYNTAX";
        pendingName_ = std::string(value);  // adopted at the next power-up once stored
        return "OK";
    }
    if (name == "PX") {  // with a value: redefine the present position
        if (!readValue(value, INT32_MIN, INT32_MAX, v, reply))
            return reply;
        if (axis_.moving(now_))
            return "?MOVING";
        axis_.setPosition(now_, v);
        return "OK";
    }
    if (name == "DO" || name == "DO1" || name == "DO2") {
        const unsigned mask = name == "DO" ? 3u : name == "DO1" ? 1u : 2u;
        const unsigned shift = name == "DO2" ? 1 : 0;
        if (!hasValue)
            return num((outputs_ & mask) >> shift);
        if (!readValue(value, 0, mask >> shift, v, reply))
            return reply;
        outputs_ = (outputs_ & ~mask) | (static_cast<unsigned>(v) << shift);
        return "OK";
    }
    if (name == "EO") {
        if (!hasValue)
            return num(enabled_ ? 1 : 0);
        if (!readValue(value, 0, 1, v, reply))
            return reply;
        enabled_ = v == 1;
        if (!enabled_)
            axis_.abort(now_);  // no holding torque: the plan is lost
        return "OK";
    }
    if (name == "HSPD" || name == "ACC") {
        std::int64_t &reg = name == "HSPD" ? hspd_ : acc_;
        if (!hasValue)
            return num(reg);
        if (!readValue(value, 1, name == "HSPD" ? kSpeedMax : kAccMax, v, reply))
            return reply;
        reg = v;  // used by the next motion command
        return "OK";
    }
    if (name == "MM")
        return hasValue ? "?READONLY" : num(incremental_ ? 1 : 0);
    if (name == "ABS" || name == "INC") {
        if (hasValue)
            return "?SYNTAX";
        incremental_ = name == "INC";
        return "OK";
    }
    if (name == "STORE")
        return hasValue ? "?SYNTAX" : store();
    if (name == "ABORT" || name == "STOP" || name == "J+" || name == "J-" ||
        (!name.empty() && name[0] == 'X'))
        return motion(name, hasValue);
    return "?UNKNOWN";
}

Frame Model::handleFrame(const Frame &in)
{
    std::size_t len = 0;
    while (len < kFrame && in[len] != 0)
        ++len;
    const std::string reply = handle(std::string_view(reinterpret_cast<const char *>(in.data()), len));
    Frame out{};
    std::copy_n(reply.begin(), std::min(reply.size(), kFrame), out.begin());
    return out;
}

std::string Model::stateLine() const
{
    const char *flash = flashState_ == FlashState::Loaded ? "loaded"
                        : flashState_ == FlashState::Corrupt    ? "corrupt"
                        : flashState_ == FlashState::Unreadable ? "unreadable"
                                                                : "blank";
    std::string s;
    auto add = [&s](std::string_view key, const std::string &value) {
        if (!s.empty())
            s += ' ';
        s.append(key).append("=").append(value);
    };
    add("name", name_);
    add("pending", pendingName_);
    add("flash", flash);
    add("t_us", num(now_));
    add("px", num(axis_.position(now_)));
    add("target", num(axis_.finalPosition()));
    add("mst", num(motionStatus()));
    add("hspd", num(hspd_));
    add("acc", num(acc_));
    add("mm", num(incremental_ ? 1 : 0));
    add("eo", num(enabled_ ? 1 : 0));
    add("do", num(outputs_));
    add("out", num(outputLevels()));
    add("di", num(inputs_));
    add("ai", num(analog_));
    for (int i = 0; i < kParamCount; ++i) {
        std::string key = kParams[i].name;
        std::transform(key.begin(), key.end(), key.begin(), [](char c) { return std::tolower(c); });
        add(key, num(params_[i]));
    }
    add("sastat", num(static_cast<int>(programs_.state(-1))));
    add("program", programState_ == ProgramState::Stored    ? "stored"
                   : programState_ == ProgramState::Corrupt ? "corrupt"
                                                             : "none");
    add("lines", num(static_cast<std::int64_t>(programs_.lines().size())));
    add("transfer", transfer_.active() ? num(transfer_.received()) + "/" + num(transfer_.expected()) : "-");
    for (int k = 0; k < Programs::kThreads; ++k) {
        add("sastat" + num(k), num(static_cast<int>(programs_.state(k))));
        add("spc" + num(k), num(programs_.pc(k)));
    }
    add("statement_us", num(programs_.threads().statementUs()));
    add("autorun", num(sloadAtBoot_));
    return s;
}

}  // namespace zsim
