#include "common/ui/fieldentry.h"

#include <QLineEdit>
#include <QValidator>

namespace {

// Refuses an edit that would make the text longer than the limit in bytes.
class TByteLimitValidator : public QValidator
{
public:
    TByteLimitValidator(int maxBytes, QObject *parent) : QValidator(parent), maxBytes(maxBytes) {}
    void SetLimit(int bytes) { maxBytes = bytes; }

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
    // An edit whose limit changes (one dialog for several fields) keeps a single validator.
    auto *validator =
        dynamic_cast<TByteLimitValidator *>(const_cast<QValidator *>(edit->validator()));
    if (validator)
        validator->SetLimit(maxBytes);
    else
        edit->setValidator(new TByteLimitValidator(maxBytes, edit));
}

void ClearEntryLimit(QLineEdit *edit)
{
    if (auto *validator =
            dynamic_cast<TByteLimitValidator *>(const_cast<QValidator *>(edit->validator())))
        validator->SetLimit(NoEntryLimit);
}
