// A stand-in for the main window that records what the monitor's logic shows and answers its
// questions as the test says.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "korrind/popview.h"

class TMonitorTestWindow : public TMonitorWindow
{
public:
    std::vector<std::string> StatusTexts;
    std::vector<std::string> Questions;
    std::vector<std::string> Messages;
    int Progress = -1;
    bool Busy = false;
    bool Visible = true;
    bool Topmost = false;
    bool TrayShown = false;
    bool MailList = false;
    bool Apply = false;
    bool Applied = false;
    bool ExitBusy = false;
    int FocusCalls = 0;
    TMonitorPage Page = TMonitorPage::Summary;
    TAnswer Answer = TAnswer::Yes;
    TWindowPos Position{100, 100, 300, 500};
    std::vector<std::string> MailerBox;
    std::string SelectedMailer;

    const std::string &Status() const
    {
        static const std::string none;
        return StatusTexts.empty() ? none : StatusTexts.back();
    }

    // Runs with each status text (a test may throw from it).
    std::function<void(const std::string &text)> OnStatus;

    void SetStatusText(const std::string &text) override
    {
        StatusTexts.push_back(text);
        if (OnStatus)
            OnStatus(text);
    }
    void SetProgress(int position) override { Progress = position; }
    void SetBusyCursors(bool busy) override { Busy = busy; }
    void RowsChanged(bool) override {}
    bool IsWindowVisible() const override { return Visible; }
    void ShowWindow() override { Visible = true; }
    void HideWindow() override { Visible = false; }
    void SetTopmost(bool topmost) override { Topmost = topmost; }
    void ShowPage(TMonitorPage page) override { Page = page; }
    TMonitorPage CurrentPage() const override { return Page; }
    void FocusCheckNow() override { ++FocusCalls; }
    bool MailListVisible() const override { return MailList; }
    void ShowTrayIcon(TTrayIcon &) override { TrayShown = true; }
    void ShowSettings() override {}
    void LayoutButtonBars() override {}
    bool ApplyEnabled() const override { return Apply; }
    void SetApplyEnabled(bool enabled) override { Apply = enabled; }
    bool ApplySaves = true; // what ApplyChanges answers
    bool ApplyChanges() override
    {
        Applied = true;
        Apply = !ApplySaves;
        return ApplySaves;
    }
    void FillMailerBox(const TStringList &mailerList) override
    {
        MailerBox.clear();
        for (int i = 0; i < mailerList.Count(); ++i)
            MailerBox.push_back(mailerList.Names(i));
    }
    bool SelectMailer(const std::string &name) override
    {
        for (const std::string &entry : MailerBox)
            if (entry == name) {
                SelectedMailer = name;
                return true;
            }
        return false;
    }
    TWindowPos WindowPosition() const override { return Position; }
    void SetWindowPosition(const TWindowPos &position) override { Position = position; }
    bool PressExitButton() override { return !ExitBusy; }
    void ReleaseExitButton() override {}
    TAnswer AskYesNo(const std::string &text, const std::string &) override
    {
        Questions.push_back(text);
        return Answer;
    }
    void ShowMessage(const std::string &text) override { Messages.push_back(text); }
};
