// The notification-area icon on the desktop: a QSystemTrayIcon showing the images and tip
// chosen by TTrayIcon, and the tray menu built from TTrayMenu. The main window creates one,
// fills the hooks and calls Show(); every command goes back to the window through OnCommand.
#pragma once

#include <QIcon>
#include <QObject>
#include <functional>
#include <string>
#include <vector>

#include "korrind/trayicon.h"

class QMenu;
class QAction;
class QSystemTrayIcon;
class TStringList;

// The seven icon images (TIconImage order), drawn at run time.
QIcon TrayImage(int image);

class TTrayView : public QObject
{
    Q_OBJECT

public:
    // logic is not owned; its OnChange hook is taken over to update the icon.
    explicit TTrayView(TTrayIcon &logic, QObject *parent = nullptr);
    ~TTrayView() override;

    // Adds the icon to the notification area, with the application's title as its tip.
    void Show();
    // False when the desktop has no notification area: the window must then stay reachable
    // (shown or on the task bar) instead of hiding.
    static bool Available();

    // Called before the menu opens: whether the main window is shown, and the lists the
    // sub-menus are filled from (Globals->MailerList and the window's InboxMap).
    std::function<bool()> WindowShown;
    std::function<const TStringList &()> MailerList;
    std::function<const TStringList &()> InboxMap;
    // The mailboxes whose sign-in must be renewed: each gets a "Sign In…" item at the top.
    std::function<std::vector<std::string>()> SignInNeeded;

    // A chosen menu item. For RunMail and Inboxes, name is the chosen program or user ID.
    std::function<void(TTrayCommand command, const std::string &name)> OnCommand;

    // Fills the menu as it would be when opened (also used by tests).
    void PrepareMenu();

    QMenu *Menu() const { return PopupMenu; }
    QMenu *RunMailMenu() const { return RunMailSubMenu; }
    QMenu *InboxesMenu() const { return InboxesSubMenu; }
    QAction *ShowAction() const { return ShowItem; }
    QSystemTrayIcon *Icon() const { return TrayIcon; }

private:
    void BuildMenu();
    void SyncSubMenu(QMenu *menu, const std::vector<std::string> &names, TTrayCommand command);
    void Command(TTrayCommand command, const std::string &name = {});
    void SyncSignInItems();

    TTrayIcon &Logic;
    TTrayMenu MenuData;
    QSystemTrayIcon *TrayIcon;
    QMenu *PopupMenu;
    QMenu *RunMailSubMenu = nullptr;
    QMenu *InboxesSubMenu = nullptr;
    QAction *ShowItem = nullptr;
    QAction *InboxesItem = nullptr;
    std::vector<QAction *> SignInItems;
};
