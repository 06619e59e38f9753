#include "CDialogOperation2.h"

#include "CGroupLine.h"
#include "Colours.h"
#include "DialogFit.h"
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
#include <QCompleter>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
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
QSize CDialogOperation2::DesignedSize() const {
    return DialogRect(0, 0, kDesignedWidth + kRenameWidening, 58).size();
}

// The Rename group is wider than designed so a prefix can be read, and the
// Resize group so its kinds can: what lies right of them moves over by as
// much (Stamp and More give the Resize group's back).
QWidget* CDialogOperation2::Place(QWidget* w, int x, int y, int width, int height) {
    const int shift = (x >= kRenameRight ? kRenameWidening : 0) + (x >= kResizeRight ? kResizeWidening : 0);
    w->setGeometry(DialogRect(x + shift, y, width, height));
    return w;
}

// The label names its control for the keyboard and for screen readers.
QLabel* CDialogOperation2::Label(const char* text, int x, int y, int w, int h, QWidget* buddy) {
    auto* label = new QLabel(tr(text), this);
    Place(label, x, y, w, h);
    // Faces here run a little wider than the dialog font's design.
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    if (buddy) label->setBuddy(buddy);
    return label;
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
    format_ = MakeCombo(ids::kFormatList);
    Place(format_, 35, 14, 55, 14);
    Label("Format:", 7, 16, 24, 8, format_);
    quality_ = MakeEdit(ids::kQualityEdit, true);
    Place(quality_, 122, 14, 42, 14);
    qualitySpin_ = AttachSpin(ids::kQualitySpin, quality_);
    Label("Quality:", 97, 15, 24, 8, quality_);
    output_ = MakeCombo(ids::kOutputList);
    Place(output_, 35, 32, 113, 14);
    // A path may be typed, completed from the folders on disk; the list
    // keeps the recent ones.
    output_->setEditable(true);
    output_->setInsertPolicy(QComboBox::NoInsert);
    auto* folders = new QFileSystemModel(output_);
    folders->setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
    folders->setRootPath("/");
    auto* completer = new QCompleter(folders, output_);
    completer->setCaseSensitivity(Qt::CaseSensitive);
    // On the edit itself: the box would take a completion's row for one of
    // its own entries.
    delete output_->lineEdit()->completer();
    output_->lineEdit()->setCompleter(completer);
    Label("Output:", 7, 33, 24, 8, output_);
    chooseFolder_ = new QPushButton("...", this);
    chooseFolder_->setObjectName(ids::Name(ids::kChooseFolder));
    Place(chooseFolder_, 150, 32, 14, 12);

    return output;
}

void CDialogOperation2::BuildRenameAndResizeGroups() {
    rename_ = new CGroupLine(ids::kGroupRename, tr("Rename"), this);
    Place(rename_, 171, 3, 59 + kRenameWidening, 47);
    prefix_ = MakeEdit(ids::kPrefixEdit, false);
    prefix_->setMaxLength(259);
    Place(prefix_, 198, 14, 28 + kRenameWidening, 14);
    Label("Prefix:", 175, 16, 20, 8, prefix_);
    series_ = MakeEdit(ids::kSeriesEdit, true);
    Place(series_, 197, 32, 28, 14);
    seriesSpin_ = AttachSpin(ids::kSeriesSpin, series_);
    Label("Series:", 175, 33, 23, 12, series_);

    resize_ = new CGroupLine(ids::kGroupResize, tr("Resize"), this);
    Place(resize_, 233, 3, 109 + kResizeWidening, 47);
    width_ = MakeEdit(ids::kWidthEdit, true);
    Place(width_, 250, 14, 38, 14);
    widthSpin_ = AttachSpin(ids::kWidthSpin, width_);
    widthLabel_ = Label("W:", 237, 16, 10, 8, width_);
    height_ = MakeEdit(ids::kHeightEdit, true);
    Place(height_, 299, 14, 38, 14);
    heightSpin_ = AttachSpin(ids::kHeightSpin, height_);
    heightLabel_ = Label("H:", 289, 16, 8, 8, height_);
    // Where W and H were: the one number "Longest Side" and "Percent" take.
    value_ = MakeEdit(ids::kResizeValueEdit, true);
    Place(value_, 237, 14, 51, 14);
    valueSpin_ = AttachSpin(ids::kResizeValueSpin, value_);
    valueUnit_ = Label("pixels", 291, 16, 46, 8, value_);
    valueUnit_->setObjectName(ids::Name(ids::kResizeValueUnit));
    for (QWidget* w : std::initializer_list<QWidget*>{value_, valueSpin_, valueUnit_}) w->hide();
    resizeMode_ = MakeCombo(ids::kResizeModeList);
    Place(resizeMode_, 237, 32, 64 + kResizeWidening, 14);
    anchor_ = MakeCombo(ids::kAnchorList);
    Place(anchor_, 303 + kResizeWidening, 32, 34, 14);
    anchor_->setToolTip(tr("Anchor: where Cover keeps its window, Pad sets the picture and an aspect "
                           "crop keeps its window"));
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
    Place(stamp_, 428, 3, 96, 47);
    stampText_ = MakeEdit(ids::kStampEdit, false);
    stampText_->setMaxLength(2047);
    Place(stampText_, 433, 14, 86, 14);
    fontButton_ = new QPushButton(tr("Font"), this);
    fontButton_->setObjectName(ids::Name(ids::kFontButton));
    Place(fontButton_, 433, 32, 60, 12);
    colourButton_ = new QPushButton(this);
    colourButton_->setObjectName(ids::Name(ids::kColourButton));
    Place(colourButton_, 495, 32, 24, 12);

    auto* more = new QGroupBox(tr("More"), this);
    more->setObjectName(ids::Name(ids::kGroupOptions));
    Place(more, 527, 3, 48, 47);
    optionsButton_ = new QPushButton(tr("Options..."), this);
    optionsButton_->setObjectName(ids::Name(ids::kOptionsButton));
    Place(optionsButton_, 531, 14, 40, 14);

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
    DescribeControls();
    prefix_->setValidator(new PrefixValidator(prefix_));
    connect(prefix_, &QLineEdit::inputRejected, this, &CDialogOperation2::ShowPrefixHint);
    connect(prefix_, &QLineEdit::textChanged, this, &CDialogOperation2::CheckPrefix);
    connect(output_, &QComboBox::currentIndexChanged, this, &CDialogOperation2::CheckOutputFolder);
    connect(output_, &QComboBox::editTextChanged, this, &CDialogOperation2::CheckOutputFolder);
    connect(output_->lineEdit(), &QLineEdit::editingFinished, this, &CDialogOperation2::CommitTypedOutputFolder);
    connect(value_, &QLineEdit::textChanged, this, [this] {
        if (!options_ || showingOptions_) return;
        if (resizeMode_->currentIndex() == kResizePercent) options_->percent = valueSpin_->GetPos();
        else if (resizeMode_->currentIndex() == kResizeLongestSide) options_->longestSide = valueSpin_->GetPos();
    });

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

// Names for the controls no label names, and a description for every one:
// what screen readers say, and the tooltips.
void CDialogOperation2::DescribeControls() {
    struct Text {
        QWidget* control;
        const char* name; // empty: the label's or the control's own text
        const char* description;
    };
    const Text texts[] = {
        {format_, "", "The type of the outputs; Original keeps each input's type"},
        {quality_, "", "Quality of JPG, WEBP and AVIF outputs, 1 to 100"},
        {output_, "Output folder", "The folder the outputs go into: type a path, or pick a recent one"},
        {chooseFolder_, "Choose output folder", "Pick the output folder in a dialog"},
        {prefix_, "Name prefix", "The outputs are named this prefix and a series number"},
        {series_, "Series start", "The number of the first renamed output"},
        {width_, "Width", "The width of the outputs in pixels"},
        {height_, "Height", "The height of the outputs in pixels"},
        {resizeMode_, "Resize kind", "How W and H, or the one number, set the outputs' size"},
        {rotation_, "Rotation", "Turn every output by this angle"},
        {sharpen_, "", "Sharpen the outputs after turning them"},
        {stampText_, "Stamp text", "Text drawn on every output"},
        {fontButton_, "Stamp font", "The face and size of the stamp text"},
        {colourButton_, "Stamp colour", "The colour of the stamp text"},
        {optionsButton_, "", "Resampling, resize values, threads, rotation by the camera, metadata, "
                             "background colour, lossless output"},
    };
    for (const Text& t : texts) {
        if (*t.name) t.control->setAccessibleName(tr(t.name));
        t.control->setAccessibleDescription(tr(t.description));
        t.control->setToolTip(tr(t.description));
    }
    for (CGroupLine* group : {rename_, resize_, rotate_, stamp_})
        group->CheckBox()->setAccessibleDescription(tr("Use the %1 settings in the run").arg(group->CheckBox()->text()));
    output_->lineEdit()->setAccessibleName(output_->accessibleName());
    output_->lineEdit()->setAccessibleDescription(output_->accessibleDescription());
    prefixTip_ = prefix_->toolTip();
    outputTip_ = output_->toolTip();
}

void CDialogOperation2::ShowPrefixHint() {
    QToolTip::showText(prefix_->mapToGlobal(QPoint(0, prefix_->height())),
                       tr("A file name cannot hold \"/\" or control characters."), prefix_);
}

// "." and ".." pass the validator while typed (".x" is fine) but are shown
// refused, with the reason, until they become a longer prefix.
void CDialogOperation2::CheckPrefix() {
    const QString problem = PrefixValidator::Problem(prefix_->text());
    prefix_->setPalette(problem.isEmpty() ? QPalette() : ErrorPalette(QPalette()));
    prefix_->setToolTip(problem.isEmpty() ? prefixTip_ : problem);
    if (!problem.isEmpty() && prefix_->hasFocus())
        QToolTip::showText(prefix_->mapToGlobal(QPoint(0, prefix_->height())), problem, prefix_);
}

QString CDialogOperation2::TypedOutputFolder() const {
    QString text = output_->currentText().trimmed();
    if (text.isEmpty() || text == output_->itemText(0)) return {};
    if (text == "~" || text.startsWith("~/")) text = QDir::homePath() + text.mid(1);
    return QDir::isAbsolutePath(text) ? QDir::cleanPath(text) : text;
}

// Enter or leaving the box takes the typed path as the chosen folder.
void CDialogOperation2::CommitTypedOutputFolder() {
    const QString folder = TypedOutputFolder();
    if (folder.isEmpty()) {
        if (output_->currentIndex() != 0) output_->setCurrentIndex(0);
        return;
    }
    if (!QDir::isAbsolutePath(folder)) return;
    AddOutputFolder(folder);
}

// Shown in the box itself (red, with the reason as its tooltip), so the
// problem is seen before Start, and as the path is typed.
void CDialogOperation2::CheckOutputFolder() {
    const QString folder = TypedOutputFolder();
    outputProblem_ = folder.isEmpty() || QDir::isAbsolutePath(folder)
                         ? OutputFolderProblem(folder)
                         : tr("%1 is not a full path: start it with / or ~").arg(folder);
    output_->setPalette(outputProblem_.isEmpty() ? QPalette() : ErrorPalette(QPalette()));
    output_->setToolTip(outputProblem_.isEmpty() ? outputTip_ : outputProblem_);
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
    ShowRunOptions();
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
    resizeMode_->addItem(tr("Cover W x H"));
    resizeMode_->addItem(tr("Pad W x H"));
    const RunOptions shown = options_ ? *options_ : RunOptions{};
    int modeLine = settings_.resizeMode;
    if (modeLine == kResizeFixed && shown.fixedSizeFit == FixedSizeFit::kCover) modeLine = kCoverLine;
    if (modeLine == kResizeFixed && shown.fixedSizeFit == FixedSizeFit::kPad) modeLine = kPadLine;
    select(resizeMode_, modeLine);
    anchor_->clear();
    for (int i = 0; i <= int(Anchor::kEntropy); ++i) {
        QString name = QString::fromLatin1(AnchorName(Anchor(i)));
        name[0] = name[0].toUpper();
        anchor_->addItem(name, i);
    }
    anchor_->setCurrentIndex(std::max(0, anchor_->findData(int(shown.anchor))));
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
    QStringList history;
    for (int line = 1; line < output_->count(); ++line) history << output_->itemText(line);
    s.outputFolderIndex = output_->currentIndex();
    // A path typed and not yet committed is the chosen one, as it will be.
    if (const QString typed = TypedOutputFolder(); !typed.isEmpty() && QDir::isAbsolutePath(typed) &&
                                                    typed != output_->itemText(s.outputFolderIndex)) {
        history.removeAll(typed);
        history.prepend(typed);
        s.outputFolderIndex = 1;
    }
    for (int line = 0; line < history.size() && line < kRecentFolderCount; ++line)
        SetFieldText(s.recentFolders[line], history[line].toStdString());
    SetFieldText(s.namePrefix, prefix_->text().toStdString());
    s.seriesStart = seriesSpin_->GetPos();
    s.targetWidth = widthSpin_->GetPos();
    s.targetHeight = heightSpin_->GetPos();
    const int mode = resizeMode_->currentIndex();
    s.resizeMode = mode == kCoverLine || mode == kPadLine ? kResizeFixed : mode;
    s.rotation = rotation_->currentIndex();
    s.sharpen = sharpen_->isChecked() ? 1 : 0;
    SetFieldText(s.stampText, stampText_->text().toStdString());
    font_.ToRecord(s);
    s.renameEnabled = rename_->GetCheck() ? 1 : 0;
    s.resizeEnabled = resize_->GetCheck() ? 1 : 0;
    s.rotateEnabled = rotate_->GetCheck() ? 1 : 0;
    s.stampEnabled = stamp_->GetCheck() ? 1 : 0;
}

void CDialogOperation2::CollectOptions(RunOptions& o) const {
    const int mode = resizeMode_->currentIndex();
    o.fixedSizeFit = mode == kCoverLine  ? FixedSizeFit::kCover
                     : mode == kPadLine ? FixedSizeFit::kPad
                                        : FixedSizeFit::kStretch;
    o.anchor = Anchor(anchor_->currentData().toInt());
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

void CDialogOperation2::SetRunOptions(RunOptions* options) {
    options_ = options;
    ShowRunOptions();
}

void CDialogOperation2::ShowRunOptions() {
    const int mode = resizeMode_->currentIndex();
    if (!options_ || (mode != kResizeLongestSide && mode != kResizePercent)) return;
    const bool percent = mode == kResizePercent;
    // The new range clamps the other kind's number on its way: not a value typed.
    showingOptions_ = true;
    valueSpin_->SetRange(percent ? kPercentMin : kSpinMin, percent ? kPercentMax : kSpinMax);
    valueSpin_->SetPos(percent ? options_->percent : options_->longestSide);
    showingOptions_ = false;
}

// "Longest Side" and "Percent" show their one number where W and H are, the
// other kinds W and H, greyed where a kind does not use one.
void CDialogOperation2::ApplyResizeModeRule() {
    const int mode = resizeMode_->currentIndex();
    const bool one = mode == kResizeLongestSide || mode == kResizePercent;
    for (QWidget* w : std::initializer_list<QWidget*>{widthLabel_, width_, widthSpin_, heightLabel_, height_, heightSpin_})
        w->setVisible(!one);
    for (QWidget* w : std::initializer_list<QWidget*>{value_, valueSpin_, valueUnit_}) w->setVisible(one);
    if (one) {
        valueUnit_->setText(mode == kResizePercent ? tr("percent") : tr("pixels"));
        value_->setAccessibleName(mode == kResizePercent ? tr("Percent of the size") : tr("Longest side in pixels"));
        value_->setToolTip(mode == kResizePercent ? tr("The size of the outputs in percent of the inputs' size, 1 to 1000")
                                                  : tr("The length of the outputs' longer side in pixels"));
        ShowRunOptions();
    }
    if (!resize_->GetCheck() || mode < 0) return;
    const bool w = !one && mode != kResizeKeepHeight, h = !one && mode != kResizeKeepWidth;
    width_->setEnabled(w);
    widthSpin_->setEnabled(w);
    height_->setEnabled(h);
    heightSpin_->setEnabled(h);
    value_->setEnabled(one);
    valueSpin_->setEnabled(one);
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
    if (folderChooser) {
        AddOutputFolder(folderChooser());
        return;
    }
    // Wide enough for its title, which the desktop otherwise cuts.
    const QString current = TypedOutputFolder();
    QFileDialog dialog(this, tr("Choose Output Folder"),
                       QFileInfo(current).isDir() ? current : QDir::homePath());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    FitTitle(&dialog);
    if (dialog.exec() == QDialog::Accepted) AddOutputFolder(dialog.selectedFiles().value(0));
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
