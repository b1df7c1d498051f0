// A small JSON reader for the expected-results files of the test corpus (one document a line).
#pragma once
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace json_mini {

struct node {
    enum kind_t { null_v, bool_v, number_v, string_v, array_v, object_v } kind = null_v;
    bool b = false;
    double num = 0;
    std::string raw_number;
    std::wstring str;  // UTF-32
    std::vector<node> items;
    std::vector<std::pair<std::string, node>> fields;

    bool is_null() const { return kind == null_v; }
    const node& operator[](const std::string& key) const
    {
        static const node none;
        for (const auto& [k, v] : fields)
            if (k == key) return v;
        return none;
    }
    bool has(const std::string& key) const
    {
        for (const auto& f : fields)
            if (f.first == key) return true;
        return false;
    }
    std::string narrow() const
    {
        std::string s;
        for (wchar_t c : str) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return s;
    }
};

class parser {
public:
    explicit parser(const std::string& text) : s_(text) {}
    node parse()
    {
        node n = value();
        ws();
        return n;
    }

private:
    void ws()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    [[noreturn]] void fail() { throw std::runtime_error("bad JSON at " + std::to_string(i_)); }
    char peek()
    {
        ws();
        if (i_ >= s_.size()) fail();
        return s_[i_];
    }
    node value()
    {
        char c = peek();
        node n;
        if (c == '{') {
            n.kind = node::object_v;
            ++i_;
            if (peek() == '}') {
                ++i_;
                return n;
            }
            for (;;) {
                node key = value();
                if (peek() != ':') fail();
                ++i_;
                n.fields.emplace_back(key.narrow(), value());
                char d = peek();
                ++i_;
                if (d == '}') break;
                if (d != ',') fail();
            }
        } else if (c == '[') {
            n.kind = node::array_v;
            ++i_;
            if (peek() == ']') {
                ++i_;
                return n;
            }
            for (;;) {
                n.items.push_back(value());
                char d = peek();
                ++i_;
                if (d == ']') break;
                if (d != ',') fail();
            }
        } else if (c == '"') {
            n.kind = node::string_v;
            ++i_;
            std::u32string out;
            while (i_ < s_.size() && s_[i_] != '"') {
                unsigned char ch = static_cast<unsigned char>(s_[i_]);
                if (ch == '\\') {
                    char e = s_[++i_];
                    ++i_;
                    switch (e) {
                    case 'n': out.push_back('\n'); break;
                    case 't': out.push_back('\t'); break;
                    case 'r': out.push_back('\r'); break;
                    case 'b': out.push_back('\b'); break;
                    case 'f': out.push_back('\f'); break;
                    case 'u': {
                        char32_t u = static_cast<char32_t>(std::stoul(s_.substr(i_, 4), nullptr, 16));
                        i_ += 4;
                        if (u >= 0xD800 && u <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
                            char32_t v = static_cast<char32_t>(std::stoul(s_.substr(i_ + 2, 4), nullptr, 16));
                            if (v >= 0xDC00 && v <= 0xDFFF) {
                                u = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
                                i_ += 6;
                            }
                        }
                        out.push_back(u);
                        break;
                    }
                    default: out.push_back(static_cast<unsigned char>(e)); break;
                    }
                    continue;
                }
                // UTF-8 sequence
                char32_t u;
                int extra;
                if (ch < 0x80) { u = ch; extra = 0; }
                else if (ch < 0xE0) { u = ch & 0x1F; extra = 1; }
                else if (ch < 0xF0) { u = ch & 0x0F; extra = 2; }
                else { u = ch & 0x07; extra = 3; }
                ++i_;
                for (int k = 0; k < extra && i_ < s_.size(); ++k) u = (u << 6) | (static_cast<unsigned char>(s_[i_++]) & 0x3F);
                out.push_back(u);
            }
            ++i_;
            n.str.assign(out.begin(), out.end());
        } else if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
        } else if (s_.compare(i_, 4, "true") == 0) {
            n.kind = node::bool_v;
            n.b = true;
            i_ += 4;
        } else if (s_.compare(i_, 5, "false") == 0) {
            n.kind = node::bool_v;
            i_ += 5;
        } else {
            n.kind = node::number_v;
            std::size_t start = i_;
            while (i_ < s_.size() && std::string("+-0123456789.eE").find(s_[i_]) != std::string::npos) ++i_;
            n.raw_number = s_.substr(start, i_ - start);
            n.num = std::strtod(n.raw_number.c_str(), nullptr);
        }
        return n;
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

inline node parse(const std::string& text) { return parser(text).parse(); }

} // namespace json_mini
