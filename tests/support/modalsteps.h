// Answering modal windows in window tests. The code under test blocks in a modal window's own
// event loop, so a test answers the window from a timer once it shows. A modal window that no
// step answers would block the test for ever: the watchdog that every test program runs fails
// the test and closes such a window after a few seconds, and a window awaited by OnModal that
// never shows fails the test too.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <typeinfo>

namespace modalsteps {

// How long a modal window may stay up with no step answering it.
constexpr int UnansweredLimitMs = 5000;
// How long OnModal waits for its window to show.
constexpr int ShowLimitMs = 10000;

// Starts the watchdog; the test main calls it once, after creating the application.
void StartWatchdog();

// While alive, marks a window as being answered by a step, so the watchdog leaves it alone.
class TAnswering
{
public:
    explicit TAnswering(QWidget *window);
    ~TAnswering();
    TAnswering(const TAnswering &) = delete;
    TAnswering &operator=(const TAnswering &) = delete;

private:
    QPointer<QWidget> Window;
};

// Tells the watchdog that the test drives window by its own means for as long as it lives.
void DrivenByTest(QWidget *window);

// Runs steps once window shows (opening pumps events, so a plain zero timer could fire before
// the window shows). Fails the test when the window does not show in time.
void WhenShown(QWidget *window, std::function<void()> steps);

} // namespace modalsteps

// Runs steps on the next modal window of type T once it shows (polling, since the code that
// opens it blocks in its own event loop). Fails the test when no such window shows in time.
template <typename T> void OnModal(std::function<void(T *)> steps)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    QElapsedTimer waited;
    waited.start();
    QObject::connect(poll, &QTimer::timeout, [poll, steps, waited] {
        auto *window = dynamic_cast<T *>(QApplication::activeModalWidget());
        if (!window || !window->isVisible()) {
            if (waited.elapsed() > modalsteps::ShowLimitMs) {
                ADD_FAILURE() << "no modal " << typeid(T).name() << " showed within "
                              << modalsteps::ShowLimitMs / 1000 << " s";
                poll->stop();
                poll->deleteLater();
            }
            return;
        }
        poll->stop();
        poll->deleteLater();
        modalsteps::TAnswering answering(window);
        steps(window);
    });
    poll->start();
}

// Answers the next message box with button and keeps its text.
inline void AnswerMessage(std::string &text, QMessageBox::StandardButton button = QMessageBox::Ok)
{
    OnModal<QMessageBox>([button, &text](QMessageBox *box) {
        text = box->text().toStdString();
        box->button(button)->click();
    });
}

class QFileDialog;
// Chooses path in a file dialog as a user does, typing it into the file name field and
// accepting (selectFile leaves the field alone while it has the keyboard focus).
void ChooseFile(QFileDialog *dialog, const std::string &path);
