#include "common/records.h"

#include <cstring>

void SetRecordText(char *field, std::size_t size, const std::string &text)
{
    std::size_t length = text.size() < size ? text.size() : size - 1;
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), length);
}

std::string GetRecordText(const char *field, std::size_t size)
{
    const void *end = std::memchr(field, 0, size);
    return std::string(field, end ? static_cast<const char *>(end) - field : size);
}

void SetConfigDefaults(TConfigRecord &config, const TWindowPos &window)
{
    std::memset(&config, 0, sizeof config);
    config.Reserved0 = 1000;
    config.Reserved2 = 10;
    config.DataVisible = 1;
    config.SmartMailRead = 1;
    config.WarnLargeMail = 1;
    config.CheckMinutes = 15;
    config.TimerSeconds = 1;
    config.Retries = 5;
    config.MasterPriorityActive = 1;
    config.MasterRejectActive = 1;
    config.MasterPriorityGlobal = 1;
    config.MasterRejectGlobal = 1;
    config.NewMailNotification = 1;
    config.TimeoutMs = 5000;
    config.Version = ConfigVersion;
    config.WinTop = window.Top;
    config.WinLeft = window.Left;
    config.WinHeight = window.Height;
    config.WinWidth = window.Width;
}
