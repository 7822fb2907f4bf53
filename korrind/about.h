// What the About box shows: the product's text lines, its web and contact addresses, and the
// build stamp taken from the program file's time.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace abouttext {
inline constexpr char Caption[] = "About";
inline constexpr char BuildPrefix[] = "Build: ";
inline constexpr char WebCaption[] = "WWW";
inline constexpr char ContactCaption[] = "Contact";
inline constexpr char MailtoFormat[] = "mailto:%s";
inline constexpr char WebAddress[] = "https://corvex.example.org/";
inline constexpr char ContactAddress[] = "support@corvex.example.org";
} // namespace abouttext

// The five text lines the monitor shows (the fourth empty).
std::vector<std::string> AboutLines();

// "Build: " and the time formatted month.day.year.hour.minute ("mm.dd.yyyy.h.nn": the hour
// without a leading zero), in local time.
std::string BuildStamp(std::time_t fileTime);

// The build stamp of the running program's file ("Build: " alone when its time is unknown).
std::string ProgramBuildStamp();
