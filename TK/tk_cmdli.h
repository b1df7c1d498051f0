// Prefix-matching parser of a narrow argument vector against a table of options.
#pragma once
#include <string>
#include <vector>

// One option: its id and the prefix an argument must start with. The table ends with {0, ""}.
struct tk_cmd_option {
    int id;
    const char* prefix;
};

// Walks the arguments one at a time; the current one is parsed when the cursor reaches it.
class TCmdLine {
public:
    virtual ~TCmdLine() = default;
    virtual void next() = 0;
    virtual bool check() const = 0;
};

// Matches every argument against the option table by prefix; the first matching entry wins.
class ansi_cmd_line : public TCmdLine {
public:
    ansi_cmd_line(int argc, char** argv, const tk_cmd_option* table);

    void next() override;
    bool check() const override { return remaining_ > 0; }

    int id() const { return id_; }
    const char* value() const { return value_; }
    const std::vector<const char*>& free_params() const { return free_; }

private:
    void parse();

    const tk_cmd_option* table_;
    char** cursor_;
    int remaining_;
    int id_ = -1;
    const char* value_ = nullptr;
    std::vector<const char*> free_;
};
