#include "CDialogOperation2.h"

#include "CGroupLine.h"
#include "CSpinButton.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Ids.h"
#include "InputChecks.h"
#include "OutputNaming.h"
#include "StampFontDialog.h"

#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QPainter>
#include <QResizeEvent>
#include <QToolTip>

namespace {

// The dialog's font: "MS Shell Dlg" at 8 points, resolved through the
// substitutions the application installs.
QFont DialogFont() {
    QFont f("MS Shell Dlg");
    f.setPointSize(8);
    return f;
}

} // namespace

void PaneLayout::Record() {
    children_.clear();
    for (QObject* o : owner_->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (!w || w->isWindow()) continue;
        QRect r = w->geometry();
        // A drop-down list counts with its dropped-down part.
        if (auto* combo = qobject_cast<QComboBox*>(w)) r.setHeight(r.height() + combo->view()->sizeHintForRow(0) * std::min(combo->count(), 7));
        children_.insert(w, r);
    }
}

void PaneLayout::Resize(int width, int height) {
    if (width <= 0 || height <= 0) return;
    const bool sx = width > referenceWidth_, sy = height > kReferenceHeight;
    const double fx = sx ? double(width) / referenceWidth_ : 1.0;
    const double fy = sy ? double(height) / kReferenceHeight : 1.0;
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        QRect r = it.value();
        int x = r.x(), y = r.y(), w = r.width(), h = r.height();
        if (sx) x = int(x * fx), w = int(w * fx);
        if (sy) y = int(y * fy), h = int(h * fy);
        // The recorded height of a drop-down list includes its list part.
        if (qobject_cast<QComboBox*>(it.key())) h = it.key()->height();
        it.key()->setGeometry(x, y, w, h);
    }
}

CDialogOperation2::CDialogOperation2(OperationSettings& settings, StampFont& font, QWidget* parent)
    : QWidget(parent), settings_(settings), font_(font), layout_(this) {
    setObjectName(ids::Name(ids::kDialogOperation));
    setFont(DialogFont());
    // Base units as the platform derives them from the dialog font.
    const QFontMetrics m(QWidget::font());
    baseX_ = std::max(1, m.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52);
    baseY_ = std::max(1, m.height());
    BuildControls();
    resize(DesignedSize());
    layout_.SetReferenceWidth(DesignedSize().width());
    // Smaller than designed, the scroll area around the pane scrolls.
    setMinimumSize(DesignedSize());
}

QRect CDialogOperation2::DialogRect(int x, int y, int w, int h) const {
    return QRect(x * baseX_ / 4, y * baseY_ / 8, w * baseX_ / 4, h * baseY_ / 8);
}

// 494 x 58 dialog units as designed, widened for the stamp's colour button
// and the Options group at the right.
QSize CDialogOperation2::DesignedSize() const { return DialogRect(0, 0, kDesignedWidth, 58).size(); }

QWidget* CDialogOperation2::Place(QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(DialogRect(x, y, width, height));
    return w;
}

void CDialogOperation2::Label(const char* text, int x, int y, int w, int h) {
    auto* label = new QLabel(tr(text), this);
    Place(label, x, y, w, h);
    // Faces here run a little wider than the dialog font's design.
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
}

QComboBox* CDialogOperation2::MakeCombo(int id) {
    auto* c = new QComboBox(this);
    c->setObjectName(ids::Name(id));
    return c;
}

QLineEdit* CDialogOperation2::MakeEdit(int id, bool digits) {
    auto* e = new QLineEdit(this);
    e->setObjectName(ids::Name(id));
    if (digits) e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), e));
    return e;
}

// A spin sits at its buddy's right edge, inside the buddy's rectangle.
CSpinButton* CDialogOperation2::AttachSpin(int id, QLineEdit* buddy) {
    auto* spin = new CSpinButton(id, buddy, this);
    const QRect b = buddy->geometry();
    const int w = std::max(12, baseX_ * 11 / 4);
    spin->setGeometry(b.right() - w + 1, b.top(), w, b.height());
    buddy->setTextMargins(0, 0, w, 0);
    return spin;
}

QWidget* CDialogOperation2::BuildOutputGroup() {
    auto* output = new QGroupBox(tr("Output"), this);
    output->setObjectName(ids::Name(ids::kGroupOutput));
    Place(output, 3, 3, 165, 47);
    Label("Format:", 7, 16, 24, 8);
    format_ = MakeCombo(ids::kFormatList);
    Place(format_, 35, 14, 55, 14);
    Label("Quality:", 97, 15, 24, 8);
    quality_ = MakeEdit(ids::kQualityEdit, true);
    Place(quality_, 122, 14, 42, 14);
    qualitySpin_ = AttachSpin(ids::kQualitySpin, quality_);
    Label("Output:", 7, 33, 24, 8);
    output_ = MakeCombo(ids::kOutputList);
    Place(output_, 35, 32, 113, 14);
    chooseFolder_ = new QPushButton("...", this);
    chooseFolder_->setObjectName(ids::Name(ids::kChooseFolder));
    Place(chooseFolder_, 150, 32, 14, 12);

    return output;
}

void CDialogOperation2::BuildRenameAndResizeGroups() {
    rename_ = new CGroupLine(ids::kGroupRename, tr("Rename"), this);
    Place(rename_, 171, 3, 59, 47);
    Label("Prefix:", 175, 16, 20, 8);
    prefix_ = MakeEdit(ids::kPrefixEdit, false);
    prefix_->setMaxLength(259);
    Place(prefix_, 198, 14, 28, 14);
    Label("Series:", 175, 33, 23, 12);
    series_ = MakeEdit(ids::kSeriesEdit, true);
    Place(series_, 197, 32, 28, 14);
    seriesSpin_ = AttachSpin(ids::kSeriesSpin, series_);

    resize_ = new CGroupLine(ids::kGroupResize, tr("Resize"), this);
    Place(resize_, 233, 3, 109, 47);
    Label("W:", 237, 16, 10, 8);
    width_ = MakeEdit(ids::kWidthEdit, true);
    Place(width_, 250, 14, 38, 14);
    widthSpin_ = AttachSpin(ids::kWidthSpin, width_);
    Label("H:", 289, 16, 8, 8);
    height_ = MakeEdit(ids::kHeightEdit, true);
    Place(height_, 299, 14, 38, 14);
    heightSpin_ = AttachSpin(ids::kHeightSpin, height_);
    resizeMode_ = MakeCombo(ids::kResizeModeList);
    Place(resizeMode_, 237, 32, 100, 14);
}

QWidget* CDialogOperation2::BuildRotateStampAndMoreGroups() {
    rotate_ = new CGroupLine(ids::kGroupRotate, tr("Rotate"), this);
    Place(rotate_, 345, 3, 80, 47);
    rotation_ = MakeCombo(ids::kRotationList);
    Place(rotation_, 350, 14, 71, 13);
    sharpen_ = new QCheckBox(tr("Sharpen images"), this);
    sharpen_->setObjectName(ids::Name(ids::kSharpen));
    Place(sharpen_, 350, 33, 70, 10);

    stamp_ = new CGroupLine(ids::kGroupStamp, tr("Stamp"), this);
    Place(stamp_, 428, 3, 100, 47);
    stampText_ = MakeEdit(ids::kStampEdit, false);
    stampText_->setMaxLength(2047);
    Place(stampText_, 433, 14, 90, 14);
    fontButton_ = new QPushButton(tr("Font"), this);
    fontButton_->setObjectName(ids::Name(ids::kFontButton));
    Place(fontButton_, 433, 32, 64, 12);
    colourButton_ = new QPushButton(this);
    colourButton_->setObjectName(ids::Name(ids::kColourButton));
    Place(colourButton_, 499, 32, 24, 12);

    auto* more = new QGroupBox(tr("More"), this);
    more->setObjectName(ids::Name(ids::kGroupOptions));
    Place(more, 531, 3, 60, 47);
    optionsButton_ = new QPushButton(tr("Options..."), this);
    optionsButton_->setObjectName(ids::Name(ids::kOptionsButton));
    optionsButton_->setToolTip(tr("Resampling, resize values, threads, rotation by the camera, metadata, "
                                  "background colour, lossless output"));
    Place(optionsButton_, 535, 14, 52, 14);

    return more;
}

void CDialogOperation2::BuildControls() {
    QWidget* output = BuildOutputGroup();
    BuildRenameAndResizeGroups();
    QWidget* more = BuildRotateStampAndMoreGroups();
    // The frames lie behind the controls inside them.
    for (QWidget* frame : std::initializer_list<QWidget*>{output, rename_, resize_, rotate_, stamp_, more})
        frame->lower();

    ConnectControls();
}

void CDialogOperation2::ConnectControls() {
    quality_->setToolTip(tr("Quality of JPG, WEBP and AVIF outputs, 1 to 100"));
    prefix_->setValidator(new PrefixValidator(prefix_));
    connect(prefix_, &QLineEdit::inputRejected, this, &CDialogOperation2::ShowPrefixHint);
    connect(output_, &QComboBox::currentIndexChanged, this, &CDialogOperation2::CheckOutputFolder);

    connect(format_, &QComboBox::currentIndexChanged, this, [this] { ApplyFormatRule(); });
    connect(resizeMode_, &QComboBox::currentIndexChanged, this, [this] { ApplyResizeModeRule(); });
    connect(resize_, &CGroupLine::clicked, this, [this] { ApplyResizeModeRule(); });
    connect(chooseFolder_, &QPushButton::clicked, this, &CDialogOperation2::ChooseOutputFolder);
    connect(fontButton_, &QPushButton::clicked, this, &CDialogOperation2::ChooseFont);
    connect(colourButton_, &QPushButton::clicked, this, &CDialogOperation2::ChooseColour);
    connect(optionsButton_, &QPushButton::clicked, this, [this] {
        if (onOptions) onOptions();
    });
    for (QComboBox* c : findChildren<QComboBox*>()) connect(c, &QComboBox::currentIndexChanged, this, &CDialogOperation2::changed);
    for (QLineEdit* e : findChildren<QLineEdit*>()) connect(e, &QLineEdit::textChanged, this, &CDialogOperation2::changed);
    for (QCheckBox* b : findChildren<QCheckBox*>()) connect(b, &QCheckBox::toggled, this, &CDialogOperation2::changed);
}

void CDialogOperation2::ShowPrefixHint() {
    QToolTip::showText(prefix_->mapToGlobal(QPoint(0, prefix_->height())),
                       tr("A file name cannot hold \"/\" or control characters."), prefix_);
}

// Shown in the list itself (red, with the reason as its tooltip), so the
// problem is seen before Start.
void CDialogOperation2::CheckOutputFolder() {
    const int line = output_->currentIndex();
    outputProblem_ = line > 0 ? OutputFolderProblem(output_->itemText(line)) : QString();
    QPalette palette = output_->palette();
    palette.setColor(QPalette::ButtonText, outputProblem_.isEmpty() ? QPalette().color(QPalette::ButtonText)
                                                                    : QColor(200, 0, 0));
    palette.setColor(QPalette::Text, outputProblem_.isEmpty() ? QPalette().color(QPalette::Text) : QColor(200, 0, 0));
    output_->setPalette(palette);
    output_->setToolTip(outputProblem_);
}

void CDialogOperation2::InitOperationPane() {
    layout_.Record();
    ShowSettings();
}

void CDialogOperation2::ShowSettings() {
    output_->clear();
    output_->addItem(tr("Original Folder"));
    if (settings_.useDefaults) ApplySettingsDefaults(settings_);
    for (int i = 0; i < kRecentFolderCount; ++i) {
        const std::string folder = FieldText(settings_.recentFolders[i]);
        if (!folder.empty()) output_->addItem(QString::fromStdString(folder));
    }
    format_->clear();
    for (const char* text : kOutputFormatTexts) format_->addItem(text);
    auto select = [](QComboBox* c, int line) { c->setCurrentIndex(line >= 0 && line < c->count() ? line : -1); };
    select(format_, settings_.outputFormat);
    qualitySpin_->SetRange(kQualityMin, kQualityMax);
    qualitySpin_->SetPos(settings_.jpegQuality);
    select(output_, settings_.outputFolderIndex);
    const std::string prefix = FieldText(settings_.namePrefix);
    prefix_->setText(QString::fromStdString(prefix));
    seriesSpin_->SetRange(kSpinMin, kSpinMax);
    seriesSpin_->SetPos(settings_.seriesStart);
    widthSpin_->SetRange(kSpinMin, kSpinMax);
    widthSpin_->SetPos(settings_.targetWidth);
    heightSpin_->SetRange(kSpinMin, kSpinMax);
    heightSpin_->SetPos(settings_.targetHeight);
    resizeMode_->clear();
    for (const char* text : kResizeModeTexts) resizeMode_->addItem(text);
    select(resizeMode_, settings_.resizeMode);
    rotation_->clear();
    for (const char* text : kRotationTexts) rotation_->addItem(text);
    select(rotation_, settings_.rotation);
    sharpen_->setChecked(settings_.sharpen != 0);
    const std::string stamp = FieldText(settings_.stampText);
    stampText_->setText(QString::fromStdString(stamp));
    if (!settings_.useDefaults) font_.FromRecord(settings_);
    ShowStampFont();
    rename_->SetCheck(settings_.renameEnabled);
    resize_->SetCheck(settings_.resizeEnabled);
    rotate_->SetCheck(settings_.rotateEnabled);
    stamp_->SetCheck(settings_.stampEnabled);
    settings_.useDefaults = 0;
    ApplyFormatRule();
    ApplyResizeModeRule();
}

void CDialogOperation2::CollectSettings(OperationSettings& s) const {
    s.outputFormat = format_->currentIndex();
    s.jpegQuality = qualitySpin_->GetPos();
    for (int line = 1; line < output_->count() && line <= kRecentFolderCount; ++line)
        SetFieldText(s.recentFolders[line - 1], output_->itemText(line).toStdString());
    s.outputFolderIndex = output_->currentIndex();
    SetFieldText(s.namePrefix, prefix_->text().toStdString());
    s.seriesStart = seriesSpin_->GetPos();
    s.targetWidth = widthSpin_->GetPos();
    s.targetHeight = heightSpin_->GetPos();
    s.resizeMode = resizeMode_->currentIndex();
    s.rotation = rotation_->currentIndex();
    s.sharpen = sharpen_->isChecked() ? 1 : 0;
    SetFieldText(s.stampText, stampText_->text().toStdString());
    font_.ToRecord(s);
    s.renameEnabled = rename_->GetCheck() ? 1 : 0;
    s.resizeEnabled = resize_->GetCheck() ? 1 : 0;
    s.rotateEnabled = rotate_->GetCheck() ? 1 : 0;
    s.stampEnabled = stamp_->GetCheck() ? 1 : 0;
}

// Quality applies where the chosen format's save takes it (JPG, and the
// lossy formats added since); "Original" keeps it greyed as designed.
bool FormatTakesQuality(int format) {
    if (format <= kFormatOriginal || format >= kFormatCount) return false;
    const ImageFormat* row = FindImageFormat(OutputExtensionAndType(format, "", kTypeUnknown).saveType);
    return row && (row->saveNeeds & kSaveQuality);
}

void CDialogOperation2::ApplyFormatRule() {
    const bool quality = FormatTakesQuality(format_->currentIndex());
    quality_->setEnabled(quality);
    qualitySpin_->setEnabled(quality);
}

// Longest Side and Percent take their value from the Options dialog.
void CDialogOperation2::ApplyResizeModeRule() {
    if (!resize_->GetCheck()) return;
    const int mode = resizeMode_->currentIndex();
    if (mode < 0) return;
    const bool own = mode == kResizeLongestSide || mode == kResizePercent;
    const bool w = !own && mode != kResizeKeepHeight, h = !own && mode != kResizeKeepWidth;
    width_->setEnabled(w);
    widthSpin_->setEnabled(w);
    height_->setEnabled(h);
    heightSpin_->setEnabled(h);
}

// Paths compare exactly: folder names are case-sensitive here.
void CDialogOperation2::AddOutputFolder(const QString& path) {
    if (path.isEmpty()) return;
    for (int line = 0; line < output_->count(); ++line)
        if (output_->itemText(line) == path) {
            output_->setCurrentIndex(line);
            return;
        }
    if (output_->count() >= kRecentFolderCount + 1) output_->removeItem(output_->count() - 1);
    output_->insertItem(1, path);
    output_->setCurrentIndex(1);
}

void CDialogOperation2::ChooseOutputFolder() {
    const QString path = folderChooser ? folderChooser()
                                       : QFileDialog::getExistingDirectory(this, tr("Choose folder:"), QDir::homePath());
    AddOutputFolder(path);
}

void CDialogOperation2::ChooseFont() {
    if (ChooseStampFaceWithDialog(font_, this)) ShowStampFont();
}

void CDialogOperation2::ChooseColour() {
    if (ChooseStampColourWithDialog(font_, this)) ShowStampFont();
}

void CDialogOperation2::ShowStampFont() {
    emit changed();
    StampFont shown = font_;
    if (shown.faceName.empty()) shown.ApplyDefaults();
    const QString text = tr("%1 %2").arg(QString::fromStdString(shown.faceName), QString::fromStdString(shown.pointSize));
    const int room = fontButton_->width() - 8;
    fontButton_->setText(fontButton_->fontMetrics().elidedText(text, Qt::ElideMiddle, room));
    fontButton_->setToolTip(tr("Stamp font: %1, %2 points. Click to choose another.")
                                .arg(QString::fromStdString(shown.faceName), QString::fromStdString(shown.pointSize)));
    const QColor colour(RedOf(shown.colour), GreenOf(shown.colour), BlueOf(shown.colour));
    QPixmap swatch(std::max(8, colourButton_->width() - 10), std::max(6, colourButton_->height() - 8));
    swatch.fill(colour);
    QPainter(&swatch).drawRect(swatch.rect().adjusted(0, 0, -1, -1));
    colourButton_->setIcon(QIcon(swatch));
    colourButton_->setIconSize(swatch.size());
    colourButton_->setToolTip(tr("Stamp colour: %1. Click to choose another.").arg(colour.name().toUpper()));
}

void CDialogOperation2::SetBatchControlsEnabled(bool enable) {
    for (QWidget* w : std::initializer_list<QWidget*>{format_, quality_, qualitySpin_, output_, chooseFolder_,
                                                      rename_, resize_, rotate_, stamp_, optionsButton_})
        w->setEnabled(enable);
    if (enable) {
        ApplyFormatRule();
        ApplyResizeModeRule();
    }
}

void CDialogOperation2::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layout_.Resize(event->size().width(), event->size().height());
}
