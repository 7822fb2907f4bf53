#include "common/stringlist.h"

#include <algorithm>

#include "common/platform/files.h"
#include "common/text.h"

int TStringList::Add(const std::string &line)
{
    Lines.push_back(line);
    return Count() - 1;
}

void TStringList::Insert(int index, const std::string &line)
{
    index = std::clamp(index, 0, Count());
    Lines.insert(Lines.begin() + index, line);
}

void TStringList::Delete(int index)
{
    if (index >= 0 && index < Count())
        Lines.erase(Lines.begin() + index);
}

int TStringList::IndexOf(const std::string &text) const
{
    for (int i = 0; i < Count(); ++i)
        if (SameText(Lines[i], text))
            return i;
    return -1;
}

std::string TStringList::Names(int index) const
{
    const std::string &line = Lines.at(index);
    return line.substr(0, line.find('='));
}

std::string TStringList::ValueFromIndex(int index) const
{
    const std::string &line = Lines.at(index);
    size_t pos = line.find('=');
    return pos == std::string::npos ? std::string() : line.substr(pos + 1);
}

int TStringList::IndexOfName(const std::string &name) const
{
    for (int i = 0; i < Count(); ++i)
        if (SameText(Names(i), name))
            return i;
    return -1;
}

std::string TStringList::Values(const std::string &name) const
{
    int index = IndexOfName(name);
    return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStringList::SetValue(const std::string &name, const std::string &value)
{
    int index = IndexOfName(name);
    if (value.empty()) {
        Delete(index);
        return;
    }
    if (index < 0)
        Add(name + "=" + value);
    else
        Lines[index] = Names(index) + "=" + value;
}

std::string TStringList::Text() const
{
    std::string text;
    for (const std::string &line : Lines)
        text += line + LineBreak;
    return text;
}

void TStringList::SetText(const std::string &text)
{
    Lines.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            Lines.push_back(text.substr(start));
            break;
        }
        Lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
}

bool TStringList::LoadFromFile(const std::string &path)
{
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes))
        return false;
    SetText(bytes);
    return true;
}

bool TStringList::SaveToFile(const std::string &path) const
{
    return platform::WriteFileAtomic(path, Text());
}

void TStringList::Sort()
{
    std::stable_sort(Lines.begin(), Lines.end(), [](const std::string &a, const std::string &b) {
        return LowerCase(a) < LowerCase(b);
    });
}
