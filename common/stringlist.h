// A list of text lines with "name=value" look-up, for the plain line files of the system.
#pragma once

#include <string>
#include <vector>

class TStringList
{
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> lines) : Lines(lines) {}

    // Line break written by SaveToFile and Text(); loading accepts CR LF, LF and CR.
    std::string LineBreak = "\n";

    int Count() const { return static_cast<int>(Lines.size()); }
    bool Empty() const { return Lines.empty(); }
    std::string &operator[](int index) { return Lines.at(index); }
    const std::string &operator[](int index) const { return Lines.at(index); }
    auto begin() { return Lines.begin(); }
    auto end() { return Lines.end(); }
    auto begin() const { return Lines.begin(); }
    auto end() const { return Lines.end(); }
    const std::vector<std::string> &Items() const { return Lines; }

    int Add(const std::string &line); // returns the new line's index
    void Insert(int index, const std::string &line);
    void Delete(int index);
    void Clear() { Lines.clear(); }
    void Assign(const std::vector<std::string> &lines) { Lines = lines; }

    // Index of the first line equal to text ignoring case, -1 when none.
    int IndexOf(const std::string &text) const;

    // Name/value access. A line's name is its text before the first "=" (the whole line when
    // it has none); names match ignoring case.
    int IndexOfName(const std::string &name) const;
    std::string Names(int index) const;
    std::string ValueFromIndex(int index) const;       // text after the first "=", "" when none
    std::string Values(const std::string &name) const; // "" when no line has that name
    // Sets the value of the first line with that name, appending "name=value" when there is
    // none; an empty value removes the line.
    void SetValue(const std::string &name, const std::string &value);

    // All lines joined, each followed by LineBreak; SetText splits at CR LF, LF or CR (a final
    // line break does not make an empty last line).
    std::string Text() const;
    void SetText(const std::string &text);

    // Replaces the lines with the file's lines; false (list unchanged) when it cannot be read.
    bool LoadFromFile(const std::string &path);
    // Writes the lines atomically (temporary file in the same folder, flushed, renamed over
    // the old one) with mode 0600; false when it could not be written.
    bool SaveToFile(const std::string &path) const;

    // Sorts ignoring case (stable).
    void Sort();

private:
    std::vector<std::string> Lines;
};
