// The "Proxy Server Setup" window: edits the proxy host, port and switch of the settings
// record. The POP3 session uses them.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "common/records.h"

class QCheckBox;
class QLineEdit;
class TCaptionPanel;

class TfrmProxyServer : public QDialog
{
public:
    explicit TfrmProxyServer(QWidget *parent = nullptr);

    // Fills the controls from config, shows the window modally and, after Apply, copies the
    // values back. True when applied.
    bool Execute(TConfigRecord &config);

    bool Applied = false;

    QLineEdit *LMDeProxyServer;
    QLineEdit *LMDmePort;
    QCheckBox *LMDcbxProxyActive;
    TCaptionPanel *LMDpfApply;
    TCaptionPanel *LMDpfClose;

    void FormShow(const TConfigRecord &config);
    void StoreInto(TConfigRecord &config) const;
    void LMDpfApplyClick();
    void LMDpfCloseClick();

    // The port box read back as a number: 0 when it is not a port number.
    static uint16_t PortFromText(const std::string &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void EnableApply(bool enabled);
};
