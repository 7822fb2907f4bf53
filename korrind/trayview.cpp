#include "korrind/trayview.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "common/names.h"
#include "common/stringlist.h"
#include "korrind/signinchoice.h"

namespace {

constexpr int ImageSize = 32;

QString ToQString(const std::string &text)
{
    return QString::fromStdString(text);
}

// Menu captions treat "&" as the accelerator mark; a name shows it doubled.
QString MenuCaption(const std::string &name)
{
    return ToQString(name).replace("&", "&&");
}

void DrawEnvelope(QPainter &painter, const QColor &paper)
{
    const QRectF body(3, 8, 26, 17);
    painter.setPen(QPen(QColor(40, 40, 40), 1.5));
    painter.setBrush(paper);
    painter.drawRoundedRect(body, 2, 2);
    QPainterPath flap;
    flap.moveTo(body.topLeft());
    flap.lineTo(body.center().x(), body.center().y() + 1);
    flap.lineTo(body.topRight());
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(flap);
}

void DrawBadge(QPainter &painter, const QColor &color, const QString &text)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(17, 15, 14, 14));
    QFont font = painter.font();
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(17, 15, 14, 14), Qt::AlignCenter, text);
}

// A circular arrow; the two checking images point it in opposite directions.
void DrawArrow(QPainter &painter, bool turned)
{
    painter.setPen(QPen(QColor(20, 90, 200), 2.5, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    const QRectF circle(18, 16, 12, 12);
    painter.drawArc(circle, turned ? 180 * 16 : 0, 270 * 16);
    const QPointF tip = turned ? QPointF(18, 22) : QPointF(30, 22);
    painter.drawLine(tip, tip + QPointF(-3, turned ? 3 : -3));
    painter.drawLine(tip, tip + QPointF(3, turned ? 3 : -3));
}

} // namespace

QIcon TrayImage(int image)
{
    QPixmap pixmap(ImageSize, ImageSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    switch (image) {
    case NewMailImage:
        DrawEnvelope(painter, QColor(255, 214, 40));
        break;
    case CheckingImage:
    case CheckingImage2:
        DrawEnvelope(painter, QColor(235, 235, 235));
        DrawArrow(painter, image == CheckingImage2);
        break;
    case PriorityImage:
        DrawEnvelope(painter, QColor(255, 214, 40));
        DrawBadge(painter, QColor(210, 20, 20), "!");
        break;
    case PriorityImage2:
        DrawEnvelope(painter, QColor(255, 130, 110));
        DrawBadge(painter, QColor(120, 0, 0), "!");
        break;
    case TimedOutImage:
        DrawEnvelope(painter, QColor(160, 160, 160));
        DrawBadge(painter, QColor(90, 90, 90), "x");
        break;
    default:
        DrawEnvelope(painter, QColor(235, 235, 235));
        break;
    }
    painter.end();
    return QIcon(pixmap);
}

TTrayView::TTrayView(TTrayIcon &logic, QObject *parent)
    : QObject(parent), Logic(logic), TrayIcon(new QSystemTrayIcon(this)), PopupMenu(new QMenu())
{
    TrayIcon->setIcon(TrayImage(IdleImage));
    TrayIcon->setToolTip(ToQString(names::AppTitle));
    BuildMenu();
    TrayIcon->setContextMenu(PopupMenu);

    Logic.OnChange = [this](int image, const std::string &tip) {
        QIcon icon = TrayImage(image);
        TrayIcon->setIcon(icon);
        TrayIcon->setToolTip(ToQString(tip));
        qApp->setWindowIcon(icon);
    };
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    Logic.DoubleClicked(WindowShown && WindowShown());
            });
    connect(PopupMenu, &QMenu::aboutToShow, this, &TTrayView::PrepareMenu);
}

TTrayView::~TTrayView()
{
    Logic.OnChange = nullptr;
    TrayIcon->hide();
    delete PopupMenu;
}

void TTrayView::Show()
{
    TrayIcon->show();
}

bool TTrayView::Available()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayView::BuildMenu()
{
    PopupMenu->setObjectName("pmIconTray");
    for (const TTrayMenuItem &item : TTrayMenu::Items()) {
        const TTrayCommand command = item.Command;
        if (command == TTrayCommand::Separator) {
            PopupMenu->addSeparator();
        } else if (command == TTrayCommand::RunMail) {
            RunMailSubMenu = PopupMenu->addMenu(ToQString(item.Caption));
        } else if (command == TTrayCommand::Inboxes) {
            InboxesSubMenu = PopupMenu->addMenu(ToQString(item.Caption));
            InboxesItem = InboxesSubMenu->menuAction();
        } else {
            QAction *action = PopupMenu->addAction(ToQString(item.Caption));
            connect(action, &QAction::triggered, this, [this, command] { Command(command); });
            if (command == TTrayCommand::Show)
                ShowItem = action;
        }
    }
}

void TTrayView::PrepareMenu()
{
    ShowItem->setText(ToQString(TTrayMenu::ShowCaption(WindowShown && WindowShown())));
    static const TStringList none;
    MenuData.Prepare(MailerList ? MailerList() : none, InboxMap ? InboxMap() : none);
    SyncSubMenu(RunMailSubMenu, MenuData.RunMailItems(), TTrayCommand::RunMail);
    SyncSubMenu(InboxesSubMenu, MenuData.InboxItems(), TTrayCommand::Inboxes);
    RunMailSubMenu->menuAction()->setEnabled(!RunMailSubMenu->isEmpty());
    InboxesItem->setEnabled(!InboxesSubMenu->isEmpty());
    SyncSignInItems();
}

// The items are made afresh at each opening: the mailboxes needing a sign-in change by pass.
void TTrayView::SyncSignInItems()
{
    for (QAction *item : SignInItems)
        delete item;
    SignInItems.clear();
    const std::vector<std::string> mailboxes =
        SignInNeeded ? SignInNeeded() : std::vector<std::string>();
    QAction *first = PopupMenu->actions().value(0);
    for (const std::string &mailbox : mailboxes) {
        auto *item = new QAction(ToQString(std::string(signintext::SignInMenuItem) + " " + mailbox),
                                 PopupMenu);
        connect(item, &QAction::triggered, this,
                [this, mailbox] { Command(TTrayCommand::SignIn, mailbox); });
        PopupMenu->insertAction(first, item);
        SignInItems.push_back(item);
    }
    if (!SignInItems.empty())
        SignInItems.push_back(PopupMenu->insertSeparator(first));
}

// Appends the names the sub-menu does not show yet; items already there stay.
void TTrayView::SyncSubMenu(QMenu *menu, const std::vector<std::string> &names,
                            TTrayCommand command)
{
    for (size_t i = size_t(menu->actions().size()); i < names.size(); ++i) {
        const std::string name = names[i];
        QAction *action = menu->addAction(MenuCaption(name));
        connect(action, &QAction::triggered, this,
                [this, command, name] { Command(command, name); });
    }
}

void TTrayView::Command(TTrayCommand command, const std::string &name)
{
    if (command == TTrayCommand::Show && WindowShown) {
        // The caption was fixed when the menu opened; act on the window as it is now.
        if (WindowShown()) {
            if (Logic.Minimize)
                Logic.Minimize();
        } else if (Logic.ShowMonitor) {
            Logic.ShowMonitor();
        }
        return;
    }
    if (command == TTrayCommand::ClearNewMail) {
        Logic.ClearNewMail(true);
        return;
    }
    if (OnCommand)
        OnCommand(command, name);
}
