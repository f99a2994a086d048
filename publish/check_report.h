// What `check` tells: plain lines, and errors and warnings that it also counts.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class CheckReport {
public:
    explicit CheckReport(std::ostream& out) : out_(out) {}

    void line(const std::string& text) { out_ << text << "\n"; }
    void error(const std::string& text) { finding("error: " + text); }
    void warning(const std::string& text) { finding("warning: " + text); }

    int errors() const { return errors_; }
    int warnings() const { return warnings_; }
    const std::vector<std::string>& findings() const { return findings_; }

private:
    void finding(const std::string& text) {
        (text.starts_with("error") ? errors_ : warnings_) += 1;
        findings_.push_back(text);
        out_ << text << "\n";
    }

    std::ostream& out_;
    int errors_ = 0, warnings_ = 0;
    std::vector<std::string> findings_;
};
