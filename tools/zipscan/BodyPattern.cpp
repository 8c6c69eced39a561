#include "BodyPattern.h"

#include <algorithm>
#include <cstdio>

namespace zipscan {

namespace {

// Both the expression syntax and the program bound a counted run; a
// signature that asks for more is passed over (and counted) rather than
// searched some other way.
constexpr std::uint32_t kLongestRun = 65535;
constexpr std::size_t kLongestProgram = 1u << 18;

int Nibble(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two characters of hex, '?' standing for either half.
bool ByteClass(char high, char low, std::bitset<256>& set)
{
    const int h = high == '?' ? -2 : Nibble(high);
    const int l = low == '?' ? -2 : Nibble(low);
    if (h == -1 || l == -1) return false;
    set.reset();
    if (h >= 0 && l >= 0) {
        set.set(static_cast<std::size_t>(h * 16 + l));
        return true;
    }
    for (int b = 0; b < 256; ++b)
        if ((h < 0 || (b >> 4) == h) && (l < 0 || (b & 15) == l)) set.set(static_cast<std::size_t>(b));
    return true;
}

bool Number(const std::string& text, std::uint32_t& out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    out = static_cast<std::uint32_t>(std::stoul(text));
    return true;
}

std::string HexByte(unsigned b)
{
    static const char digits[] = "0123456789abcdef";
    const char s[] = {'\\', 'x', digits[(b >> 4) & 15], digits[b & 15], 0};
    return s;
}

} // namespace

std::uint32_t BodyPattern::AddClass(const std::bitset<256>& set)
{
    if (set.all()) return kAny;
    if (set.count() == 1) {
        for (std::uint32_t b = 0; b < 256; ++b)
            if (set.test(b)) return b + 1;
    }
    for (std::size_t i = 0; i < classes.size(); ++i)
        if (classes[i] == set) return static_cast<std::uint32_t>(kSets + i);
    classes.push_back(set);
    return static_cast<std::uint32_t>(kSets + classes.size() - 1);
}

std::bitset<256> BodyPattern::Set(std::uint32_t cls) const
{
    std::bitset<256> set;
    if (cls == kAny) set.set();
    else if (cls <= 256) set.set(cls - 1);
    else set = classes[cls - kSets];
    return set;
}

BodyPattern::Parsed BodyPattern::Parse(const std::string& hex, std::shared_ptr<const BodyPattern>& out,
                                       std::string& error)
{
    auto p = std::make_shared<BodyPattern>();
    p->source = hex;
    p->items.reserve(hex.size() / 2);
    bool fixed = false;
    auto malformed = [&](const std::string& why) {
        error = why;
        return Parsed::Malformed;
    };
    std::size_t i = 0;
    while (i < hex.size()) {
        const char c = hex[i];
        if (c == '*') {
            Item gap;
            gap.kind = Item::Gap;
            gap.min = 0;
            gap.max = kUnbounded;
            p->items.push_back(gap);
            ++i;
        } else if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            const std::size_t end = hex.find(close, i);
            if (end == std::string::npos) return malformed(std::string("'") + c + "' without '" + close + "'");
            const std::string body = hex.substr(i + 1, end - i - 1);
            const std::size_t dash = body.find('-');
            Item gap;
            gap.kind = Item::Gap;
            bool ok;
            if (dash == std::string::npos) {
                ok = Number(body, gap.min);
                gap.max = gap.min;
            } else {
                const std::string low = body.substr(0, dash), high = body.substr(dash + 1);
                ok = (low.empty() ? (gap.min = 0, true) : Number(low, gap.min)) &&
                     (high.empty() ? (gap.max = kUnbounded, !low.empty() && c == '{') : Number(high, gap.max));
            }
            if (!ok || gap.min > gap.max) return malformed("not a byte range: " + hex.substr(i, end - i + 1));
            if (gap.min > kLongestRun || (gap.max != kUnbounded && gap.max > kLongestRun)) {
                error = "a run of more than " + std::to_string(kLongestRun) + " bytes";
                return Parsed::Unsupported;
            }
            p->items.push_back(gap);
            i = end + 1;
        } else if (c == '(' || (c == '!' && i + 1 < hex.size() && hex[i + 1] == '(')) {
            const bool negated = c == '!';
            const std::size_t open = negated ? i + 1 : i;
            const std::size_t end = hex.find(')', open);
            if (end == std::string::npos) return malformed("'(' without ')'");
            const std::string body = hex.substr(open + 1, end - open - 1);
            if (body == "B" || body == "L" || body == "W") {
                error = "the boundary (" + body + ")";
                return Parsed::Unsupported;
            }
            std::vector<std::vector<std::uint32_t>> alternatives;
            std::size_t from = 0;
            while (true) {
                const std::size_t bar = body.find('|', from);
                const std::string alt = body.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
                if (alt.empty() || alt.size() % 2 != 0) return malformed("not an alternative: (" + body + ")");
                std::vector<std::uint32_t> seq;
                for (std::size_t k = 0; k < alt.size(); k += 2) {
                    std::bitset<256> set;
                    if (!ByteClass(alt[k], alt[k + 1], set)) return malformed("not hex: (" + body + ")");
                    seq.push_back(p->AddClass(set));
                }
                alternatives.push_back(seq);
                if (bar == std::string::npos) break;
                from = bar + 1;
            }
            if (alternatives.size() < 2) return malformed("one alternative alone: (" + body + ")");
            if (negated) {
                // Only a choice among single bytes has a plain complement.
                std::bitset<256> none;
                for (const auto& seq : alternatives) {
                    if (seq.size() != 1) {
                        error = "a negated choice of more than one byte";
                        return Parsed::Unsupported;
                    }
                    none |= p->Set(seq[0]);
                }
                Item one;
                one.cls = p->AddClass(~none);
                p->items.push_back(one);
            } else {
                Item choice;
                choice.kind = Item::Choice;
                choice.choice = static_cast<std::uint32_t>(p->choices.size());
                p->choices.push_back(std::move(alternatives));
                p->items.push_back(choice);
            }
            fixed = true;
            i = end + 1;
        } else {
            if (i + 1 >= hex.size()) return malformed("not a hex byte at column " + std::to_string(i + 1));
            Item one;
            const int high = Nibble(c), low = Nibble(hex[i + 1]);
            if (high >= 0 && low >= 0) {
                one.cls = static_cast<std::uint32_t>(high * 16 + low + 1);  // most bytes: one value
            } else {
                std::bitset<256> set;
                if (!ByteClass(c, hex[i + 1], set)) return malformed("not a hex byte at column " + std::to_string(i + 1));
                one.cls = p->AddClass(set);
            }
            fixed = fixed || one.cls != kAny;
            p->items.push_back(one);
            i += 2;
        }
    }
    if (!fixed) return malformed("no fixed byte to look for");
    if (p->ProgramSize() > kLongestProgram) {
        error = "too long a pattern for the search without Hyperscan";
        return Parsed::Unsupported;
    }
    out = std::move(p);
    return Parsed::Ok;
}

std::shared_ptr<const BodyPattern> BodyPattern::Deferred(std::string hex)
{
    auto p = std::make_shared<BodyPattern>();
    p->source = std::move(hex);
    p->deferred = true;
    return p;
}

void BodyPattern::Shape() const
{
    if (!deferred) return;
    std::call_once(shaped, [this] {
        std::shared_ptr<const BodyPattern> parsed;
        std::string ignored;
        if (Parse(source, parsed, ignored) == Parsed::Ok) {
            classes = parsed->classes;
            items = parsed->items;
            choices = parsed->choices;
            return;
        }
        classes.assign(1, std::bitset<256>());
        items.assign(1, Item());
        items[0].cls = kSets;
    });
}

std::size_t BodyPattern::ProgramSize() const
{
    std::size_t size = 1;
    for (const Item& item : items) {
        if (item.kind == Item::Class) {
            size += 1;
        } else if (item.kind == Item::Gap) {
            size += item.min + (item.max == kUnbounded ? 3 : 2 * std::size_t(item.max - item.min));
        } else {
            for (const auto& seq : choices[item.choice]) size += seq.size() + 2;
        }
    }
    return size;
}

void BodyPattern::Program(std::vector<Step>& code) const
{
    Shape();
    code.clear();
    auto emit = [&](Step::Op op, std::uint32_t a = 0, std::uint32_t b = 0) {
        Step s;
        s.op = op;
        s.a = a;
        s.b = b;
        code.push_back(s);
        return static_cast<std::uint32_t>(code.size() - 1);
    };
    for (const Item& item : items) {
        if (item.kind == Item::Class) {
            emit(Step::Byte, item.cls);
        } else if (item.kind == Item::Gap) {
            for (std::uint32_t k = 0; k < item.min; ++k) emit(Step::Byte, kAny);
            if (item.max == kUnbounded) {
                const std::uint32_t loop = emit(Step::Split);
                emit(Step::Byte, kAny);
                emit(Step::Jump, loop);
                code[loop].a = loop + 1;
                code[loop].b = static_cast<std::uint32_t>(code.size());
            } else {
                std::vector<std::uint32_t> exits;
                for (std::uint32_t k = item.min; k < item.max; ++k) {
                    const std::uint32_t split = emit(Step::Split);
                    code[split].a = split + 1;
                    exits.push_back(split);
                    emit(Step::Byte, kAny);
                }
                for (std::uint32_t at : exits) code[at].b = static_cast<std::uint32_t>(code.size());
            }
        } else {
            std::vector<std::uint32_t> jumps;
            const auto& alternatives = choices[item.choice];
            for (std::size_t a = 0; a < alternatives.size(); ++a) {
                const bool last = a + 1 == alternatives.size();
                const std::uint32_t split = last ? 0 : emit(Step::Split);
                for (std::uint32_t cls : alternatives[a]) emit(Step::Byte, cls);
                if (!last) {
                    jumps.push_back(emit(Step::Jump));
                    code[split].a = split + 1;
                    code[split].b = static_cast<std::uint32_t>(code.size());
                }
            }
            for (std::uint32_t at : jumps) code[at].a = static_cast<std::uint32_t>(code.size());
        }
    }
    emit(Step::Match);
}

bool BodyPattern::Literal(std::vector<unsigned char>& bytes) const
{
    Shape();
    bytes.clear();
    for (const Item& item : items) {
        if (item.kind != Item::Class || item.cls == kAny || item.cls > 256) return false;
        bytes.push_back(static_cast<unsigned char>(item.cls - 1));
    }
    return true;
}

std::string BodyPattern::ClassExpression(std::uint32_t cls) const
{
    if (cls == kAny) return ".";
    if (cls <= 256) return HexByte(cls - 1);
    const std::bitset<256>& set = classes[cls - kSets];
    std::string out = "[";
    for (unsigned b = 0; b < 256;) {
        if (!set.test(b)) {
            ++b;
            continue;
        }
        unsigned e = b;
        while (e + 1 < 256 && set.test(e + 1)) ++e;
        out += HexByte(b);
        if (e > b) out += "-" + HexByte(e);
        b = e + 1;
    }
    return out + "]";
}

std::string BodyPattern::Expression() const
{
    Shape();
    std::string out;
    for (const Item& item : items) {
        if (item.kind == Item::Class) {
            out += ClassExpression(item.cls);
        } else if (item.kind == Item::Gap) {
            if (item.max == kUnbounded)
                out += item.min == 0 ? ".*" : ".{" + std::to_string(item.min) + ",}";
            else if (item.min == item.max)
                out += ".{" + std::to_string(item.min) + "}";
            else
                out += ".{" + std::to_string(item.min) + "," + std::to_string(item.max) + "}";
        } else {
            out += "(?:";
            const auto& alternatives = choices[item.choice];
            for (std::size_t a = 0; a < alternatives.size(); ++a) {
                if (a) out += "|";
                for (std::uint32_t cls : alternatives[a]) out += ClassExpression(cls);
            }
            out += ")";
        }
    }
    return out;
}

BodyRunner::BodyRunner(const BodyPattern& p) : pattern(p)
{
    pattern.Program(code);
    mark.assign(code.size(), 0);
    Reset();
}

void BodyRunner::Reset()
{
    matched = false;
    live.clear();
    std::fill(mark.begin(), mark.end(), 0);
    generation = 1;
    Add(live, 0);
}

void BodyRunner::Add(std::vector<std::uint32_t>& list, std::uint32_t first)
{
    stack.push_back(first);
    while (!stack.empty()) {
        const std::uint32_t pc = stack.back();
        stack.pop_back();
        if (mark[pc] == generation) continue;
        mark[pc] = generation;
        switch (code[pc].op) {
        case BodyPattern::Step::Byte: list.push_back(pc); break;
        case BodyPattern::Step::Jump: stack.push_back(code[pc].a); break;
        case BodyPattern::Step::Split:
            stack.push_back(code[pc].b);
            stack.push_back(code[pc].a);
            break;
        case BodyPattern::Step::Match: matched = true; break;
        }
    }
}

bool BodyRunner::Feed(const unsigned char* data, std::size_t size)
{
    for (std::size_t i = 0; i < size && !matched; ++i) {
        if (++generation == 0) {
            std::fill(mark.begin(), mark.end(), 0);
            generation = 1;
        }
        next.clear();
        for (std::uint32_t pc : live)
            if (pattern.Accepts(code[pc].a, data[i])) Add(next, pc + 1);
        // A match may start at every byte.
        Add(next, 0);
        live.swap(next);
    }
    return matched;
}

} // namespace zipscan
