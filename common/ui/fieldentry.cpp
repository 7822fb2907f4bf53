#include "common/ui/fieldentry.h"

#include <QLineEdit>
#include <QValidator>

namespace {

// Refuses an edit that would make the text longer than the limit in bytes.
class TByteLimitValidator : public QValidator
{
public:
    TByteLimitValidator(int maxBytes, QObject *parent) : QValidator(parent), maxBytes(maxBytes) {}

    State validate(QString &input, int &) const override
    {
        return input.toUtf8().size() <= maxBytes ? Acceptable : Invalid;
    }

private:
    int maxBytes;
};

} // namespace

// No character limit (setMaxLength): it would cut a pasted text to fit instead of refusing it.
void SetEntryLimit(QLineEdit *edit, int maxBytes)
{
    edit->setValidator(new TByteLimitValidator(maxBytes, edit));
}
