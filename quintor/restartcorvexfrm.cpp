#include "quintor/restartcorvexfrm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "common/utils.h"

TRestartCorvexFrm::TRestartCorvexFrm(const TRestartTimings &timings, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint),
      Restart(timings)
{
    if (!Utils) {
        OwnUtils = std::make_unique<TUtils>();
        Utils = OwnUtils.get();
    }
    setWindowTitle("Restart Corvex");
    LMDSimpleLabel1 = new QLabel(this);
    LMDSimpleLabel2 = new QLabel("Please Wait", this);
    for (QLabel *label : {LMDSimpleLabel1, LMDSimpleLabel2})
        label->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(LMDSimpleLabel1);
    layout->addWidget(LMDSimpleLabel2);
    setMinimumWidth(240);

    Restart.OnPhase = [this](const std::string &phase) {
        LMDSimpleLabel1->setText(QString::fromStdString(phase));
    };
    Restart.OnBringToFront = [this] {
        raise();
        activateWindow();
    };
    Restart.OnFinished = [this](bool) { EndProgram(); };
}

TRestartCorvexFrm::~TRestartCorvexFrm()
{
    Restart.Stop();
    if (OwnUtils)
        Utils = nullptr;
}

void TRestartCorvexFrm::Activate(const std::string &parameterFile)
{
    Restart.Activate(parameterFile);
}

void TRestartCorvexFrm::closeEvent(QCloseEvent *event)
{
    // Closing ends the tool at once; a monitor already stopped stays stopped.
    Restart.Stop();
    event->accept();
    EndProgram();
}

void TRestartCorvexFrm::reject()
{
    close();
}

void TRestartCorvexFrm::EndProgram()
{
    hide();
    TUtils::Terminate();
}
