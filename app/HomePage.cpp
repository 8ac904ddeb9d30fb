#include "HomePage.h"

#include "FixedTexts.h"
#include "FormLayout.h"

#include <QLabel>
#include <QPlainTextEdit>

using namespace formlayout;

HomePage::HomePage(QWidget* parent)
    : TabSheet(parent), lblHead(label(this, QStringLiteral("lblHead"), 40, 33, 300, 16)),
      pnlHelp(place(new RoundedPanel(this), 33, 56, 379, 277)),
      lblHelp(label(pnlHelp, QStringLiteral("lblHelp"), 9, 9, 361, 210)),
      pnlReleaseNotes(place(new RoundedPanel(this), 426, 55, 341, 279)),
      mmoReleaseNotes(place(new QPlainTextEdit(pnlReleaseNotes), 18, 24, 305, 231)) {
    QFont headFont = lblHead->font();
    headFont.setPixelSize(13);
    lblHead->setFont(headFont);
    lblHelp->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    mmoReleaseNotes->setReadOnly(true);
    mmoReleaseNotes->setFrameShape(QFrame::NoFrame);
    mmoReleaseNotes->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    fillWhite(mmoReleaseNotes);
    mmoReleaseNotes->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    mmoReleaseNotes->setTabChangesFocus(true);
    mmoReleaseNotes->setFocusPolicy(Qt::StrongFocus);
    mmoReleaseNotes->setAccessibleName(QStringLiteral("Release notes"));
}

void HomePage::setFixedTexts() {
    lblHead->setText(QStringLiteral("Quorvi Charging Hub"));
    lblHelp->setText(fixedtexts::helpText());
    lblHelp->setWordWrap(true);
    mmoReleaseNotes->setPlainText(fixedtexts::releaseNotes());
}

void HomePage::setHeadFamily(const QString& family) {
    QFont font = lblHead->font();
    font.setFamily(family);
    lblHead->setFont(font);
}
