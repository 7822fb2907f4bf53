#include "support/modalsteps.h"

#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <memory>

namespace modalsteps {

namespace {

const char *const AnsweringProperty = "corvexTestAnswering";

std::string Describe(QWidget *window)
{
    std::string text = "\"" + window->windowTitle().toStdString() + "\"";
    if (auto *box = qobject_cast<QMessageBox *>(window))
        text += ": " + box->text().toStdString();
    return text;
}

void Dismiss(QWidget *window)
{
    if (auto *dialog = qobject_cast<QDialog *>(window))
        dialog->done(QDialog::Rejected);
    else
        window->close();
}

} // namespace

void StartWatchdog()
{
    struct TWatch
    {
        QPointer<QWidget> Window;
        QElapsedTimer Since;
    };
    auto watch = std::make_shared<TWatch>();
    auto *watchdog = new QTimer(qApp);
    QObject::connect(watchdog, &QTimer::timeout, [watch] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal != watch->Window || !modal || modal->property(AnsweringProperty).toBool()) {
            watch->Window = modal;
            watch->Since.start();
            return;
        }
        if (watch->Since.elapsed() < UnansweredLimitMs)
            return;
        ADD_FAILURE() << "modal window " << Describe(modal) << " left unanswered for "
                      << UnansweredLimitMs / 1000 << " s; closed";
        watch->Since.start();
        Dismiss(modal);
    });
    watchdog->start(100);
}

TAnswering::TAnswering(QWidget *window) : Window(window)
{
    Window->setProperty(AnsweringProperty, true);
}

TAnswering::~TAnswering()
{
    if (Window)
        Window->setProperty(AnsweringProperty, false);
}

void DrivenByTest(QWidget *window)
{
    window->setProperty(AnsweringProperty, true);
}

void WhenShown(QWidget *window, std::function<void()> steps)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    QElapsedTimer waited;
    waited.start();
    QObject::connect(
        poll, &QTimer::timeout, [poll, target = QPointer<QWidget>(window), steps, waited] {
            if (target && !target->isVisible() && waited.elapsed() <= ShowLimitMs)
                return;
            poll->stop();
            poll->deleteLater();
            if (!target || !target->isVisible()) {
                ADD_FAILURE() << "the window did not show within " << ShowLimitMs / 1000 << " s";
                return;
            }
            TAnswering answering(target);
            steps();
        });
    poll->start();
}

} // namespace modalsteps

void ChooseFile(QFileDialog *dialog, const std::string &path)
{
    auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
    ASSERT_NE(name, nullptr) << "the file dialog has no file name field";
    name->setText(QString::fromStdString(path));
    QMetaObject::invokeMethod(dialog, "accept");
}
