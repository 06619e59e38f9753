// The preview beside the thumbnails: the selected file large and upright,
// what it is (type, pixel size, depth, resolution, file size, colour
// profile), and the name and size the current settings would give its
// output; on request the picture as the run would save it, stamp included.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"

#include <QImage>
#include <QThreadPool>
#include <QWidget>

#include <atomic>
#include <functional>

class CPreviewFacts;
class CPreviewPicture;
class CRaster;
class QBoxLayout;
class QCheckBox;
class QLabel;
class QTimer;

// What a run would be given for a file: the settings, the options and the
// index of its row in the batch list (or the one it would get).
struct PreviewInputs {
    OperationSettings settings = MakeUnsetSettings();
    RunOptions options;
    int64_t row = 0;
};

// The pixel size a row's transforms give image: upright when the options
// ask, turned by the Rotate group, then resized.
QSize PredictOutputSize(const CRaster& image, const OperationSettings& settings, const RunOptions& options);

// An image drawn into a picture of at most maxSide pixels a side, its
// transparency on a light checkerboard.
QImage RenderPreview(CRaster& image, int maxSide);

class CPreviewPane : public QWidget {
    Q_OBJECT
public:
    explicit CPreviewPane(QWidget* parent = nullptr);
    ~CPreviewPane() override;

    std::function<PreviewInputs(const QString& path)> inputs;

    void ShowFile(const QString& path);
    // The settings changed: the preview is made again shortly.
    void SettingsChanged();
    void SetShowOutput(bool on);
    bool ShowsOutput() const;

    const QString& Path() const { return path_; }
    bool IsBusy() const;
    // The facts shown, one "Label: value" a line.
    QString InfoText() const;
    const QString& OutputName() const { return outputName_; }
    QSize OutputSize() const { return outputSize_; }
    const QImage& Picture() const;

    struct Result;

signals:
    void updated();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Start();
    void Apply(const Result& result);

    QString path_;
    QBoxLayout* layout_ = nullptr;
    CPreviewPicture* picture_ = nullptr;
    CPreviewFacts* facts_ = nullptr;
    QLabel* info_ = nullptr;
    QCheckBox* showOutput_ = nullptr;
    QTimer* refresh_ = nullptr;
    QThreadPool pool_;
    std::atomic<int> generation_{0};
    int pending_ = 0;
    QString outputName_;
    QSize outputSize_;
    QStringList infoLines_;
};
