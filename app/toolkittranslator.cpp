#include "app/toolkittranslator.h"

#include <cstring>

namespace {

struct Text
{
    const char *context;
    const char *source;
    const char *russian;
};

// Source texts as Qt 5.15 writes them; a text not listed stays as it is.
constexpr Text kTexts[] = {
    {"QPlatformTheme", "OK", "ОК"},
    {"QPlatformTheme", "Save", "Сохранить"},
    {"QPlatformTheme", "Save All", "Сохранить все"},
    {"QPlatformTheme", "Open", "Открыть"},
    {"QPlatformTheme", "&Yes", "&Да"},
    {"QPlatformTheme", "Yes to &All", "Да для &всех"},
    {"QPlatformTheme", "&No", "&Нет"},
    {"QPlatformTheme", "N&o to All", "Н&ет для всех"},
    {"QPlatformTheme", "Abort", "Прервать"},
    {"QPlatformTheme", "Retry", "Повторить"},
    {"QPlatformTheme", "Ignore", "Пропустить"},
    {"QPlatformTheme", "Close", "Закрыть"},
    {"QPlatformTheme", "Cancel", "Отмена"},
    {"QPlatformTheme", "Discard", "Не сохранять"},
    {"QPlatformTheme", "Help", "Справка"},
    {"QPlatformTheme", "Apply", "Применить"},
    {"QPlatformTheme", "Reset", "Сбросить"},
    {"QPlatformTheme", "Restore Defaults", "По умолчанию"},

    {"QFileDialog", "Look in:", "Папка:"},
    {"QFileDialog", "File &name:", "&Имя файла:"},
    {"QFileDialog", "Files of type:", "Тип файлов:"},
    {"QFileDialog", "Back", "Назад"},
    {"QFileDialog", "Forward", "Вперёд"},
    {"QFileDialog", "Parent Directory", "Вверх"},
    {"QFileDialog", "Create New Folder", "Создать папку"},
    {"QFileDialog", "List View", "Список"},
    {"QFileDialog", "Detail View", "Таблица"},
    {"QFileDialog", "Go back", "Назад"},
    {"QFileDialog", "Go forward", "Вперёд"},
    {"QFileDialog", "Go to the parent directory", "В папку выше"},
    {"QFileDialog", "Create a New Folder", "Создать папку"},
    {"QFileDialog", "Change to list view mode", "Показать списком"},
    {"QFileDialog", "Change to detail view mode", "Показать таблицей"},
    {"QFileDialog", "Sidebar", "Боковая панель"},
    {"QFileDialog", "List of places and bookmarks", "Места и закладки"},
    {"QFileDialog", "Files", "Файлы"},
    {"QFileDialog", "&Open", "&Открыть"},
    {"QFileDialog", "&Save", "&Сохранить"},
    {"QFileDialog", "&Choose", "&Выбрать"},
    {"QFileDialog", "Open", "Открыть"},
    {"QFileDialog", "Save As", "Сохранить как"},
    {"QFileDialog", "All Files (*)", "Все файлы (*)"},
    {"QFileDialog", "&Rename", "&Переименовать"},
    {"QFileDialog", "&Delete", "&Удалить"},
    {"QFileDialog", "Show &hidden files", "Показывать &скрытые файлы"},
    {"QFileDialog", "&New Folder", "&Новая папка"},
    {"QFileDialog", "New Folder", "Новая папка"},
    {"QFileDialog", "Recent Places", "Недавние места"},
    {"QFileDialog", "My Computer", "Компьютер"},
    {"QFileDialog", "Directory:", "Папка:"},
    {"QFileDialog", "Folder", "Папка"},
    {"QFileDialog", "File", "Файл"},
    {"QFileDialog", "%1 File", "Файл %1"},
    {"QFileDialog", "Drive", "Диск"},
    {"QFileDialog", "Unknown", "Неизвестно"},
    {"QFileDialog", "%1 already exists.\nDo you want to replace it?", "%1 уже существует.\nЗаменить?"},
    {"QFileDialog", "%1\nFile not found.\nPlease verify the correct file name was given.",
     "%1\nФайл не найден.\nПроверьте имя файла."},
    {"QFileDialog", "Are you sure you want to delete '%1'?", "Удалить «%1»?"},

    {"QFileSystemModel", "Name", "Имя"},
    {"QFileSystemModel", "Size", "Размер"},
    {"QFileSystemModel", "Type", "Тип"},
    {"QFileSystemModel", "Date Modified", "Изменён"},
    {"QFileSystemModel", "Computer", "Компьютер"},
};

} // namespace

ToolkitTranslator::ToolkitTranslator(QObject *parent) : QTranslator(parent) {}

QString ToolkitTranslator::translate(const char *context, const char *sourceText, const char *, int) const
{
    if (!context || !sourceText)
        return QString();
    for (const Text &text : kTexts) {
        if (std::strcmp(text.context, context) == 0 && std::strcmp(text.source, sourceText) == 0)
            return QString::fromUtf8(text.russian);
    }
    return QString();
}
