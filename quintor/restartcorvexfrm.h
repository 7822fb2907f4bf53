// The restart tool's small window: the phase, "Please Wait", and the tool's lifetime.
#pragma once

#include <QDialog>
#include <memory>

#include "quintor/restartcorvex.h"

class QLabel;
class TUtils;

class TRestartCorvexFrm : public QDialog
{
    Q_OBJECT

public:
    explicit TRestartCorvexFrm(const TRestartTimings &timings = {}, QWidget *parent = nullptr);
    ~TRestartCorvexFrm() override;

    // Reads the parameter file and starts the restart; the program ends when it is done.
    void Activate(const std::string &parameterFile = TRestartCorvex::ParameterFilePath());

    TRestartCorvex Restart;
    QLabel *LMDSimpleLabel1; // phase
    QLabel *LMDSimpleLabel2; // "Please Wait"

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override; // Esc closes the tool like the title bar does

private:
    void EndProgram();
    std::unique_ptr<TUtils> OwnUtils;
};
