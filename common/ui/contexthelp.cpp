#include "common/ui/contexthelp.h"

#include <QVariant>
#include <QWidget>

#include "common/globals.h"

namespace contexthelp {

namespace {

constexpr char ContextProperty[] = "helpContext";
constexpr char KeywordProperty[] = "helpKeyword";

TTopic OwnTopic(const QWidget *widget)
{
    return {HelpContext(widget), HelpKeyword(widget)};
}

} // namespace

void SetHelpContext(QWidget *widget, help::TContext context)
{
    widget->setProperty(ContextProperty, int(context));
}

int HelpContext(const QWidget *widget)
{
    return widget->property(ContextProperty).toInt();
}

void SetHelpKeyword(QWidget *widget, const std::string &keyword)
{
    widget->setProperty(KeywordProperty, QString::fromStdString(keyword));
}

std::string HelpKeyword(const QWidget *widget)
{
    return widget->property(KeywordProperty).toString().toStdString();
}

TTopic TopicOf(const QWidget *widget)
{
    for (; widget; widget = widget->parentWidget()) {
        TTopic topic = OwnTopic(widget);
        if (!topic.Empty())
            return topic;
    }
    return {};
}

void ShowTopic(const TTopic &topic)
{
    if (Globals)
        Globals->OpenHelpGuide(help::GuideAnchor(topic.Context, topic.Keyword));
}

void ShowWindowHelp(const QWidget *widget)
{
    if (Globals)
        Globals->StartOmblee(help::GuideAnchor(0, TopicOf(widget->window()).Keyword));
}

} // namespace contexthelp
