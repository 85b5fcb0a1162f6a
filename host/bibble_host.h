/*
 * The host editor's plug-in interface, as the plug-in uses it.
 *
 * The host loads the plug-in, hands it a BibblePluginData (which carries the
 * host's operations as function pointers) and from then on calls the plug-in's
 * hooks with that record and a record for the occasion: an OptionData for
 * settings edits, the options initialiser and the About action, a PipeData for
 * rendering. The host owns every record, handle, value, string and image; the
 * plug-in borrows them for the length of one call and keeps nothing.
 *
 * This header compiles alone as C and as C++ and needs only <stdint.h>.
 */
#ifndef VIVANTO_HOST_BIBBLE_HOST_H
#define VIVANTO_HOST_BIBBLE_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Build switch: the width of the host boolean in bytes. The Windows host uses
 * one byte, the Mac OS X host a 32-bit word. Linux builds default to the
 * Windows width; the Mac variant is built with -DHUEFLARE_HOST_BOOL_BYTES=4.
 */
#ifndef HUEFLARE_HOST_BOOL_BYTES
#define HUEFLARE_HOST_BOOL_BYTES 1
#endif

#if HUEFLARE_HOST_BOOL_BYTES == 1
typedef uint8_t HostBool;
#elif HUEFLARE_HOST_BOOL_BYTES == 4
typedef uint32_t HostBool;
#else
#error "HUEFLARE_HOST_BOOL_BYTES must be 1 or 4"
#endif

/* Every host operation and every hook uses the platform's default caller-cleans
 * convention; spelled out on Windows, where a compiler switch could change it. */
#if defined(_WIN32)
#define HOST_CALL __cdecl
#else
#define HOST_CALL
#endif

/*
 * Opaque handles, one type per kind of host object, so that the compiler stops
 * a settings handle being passed where an image is expected. Each has the
 * platform's pointer width.
 */
typedef struct HostPlugin_* PluginHandle;       /* the loaded plug-in */
typedef struct HostOptions_* OptionsHandle;     /* container options are defined in */
typedef struct HostSettings_* SettingsHandle;   /* the settings an edit or render reads */
typedef struct HostOption_* OptionHandle;       /* one option's value */
typedef struct HostOwner_* OwnerHandle;         /* the stage an edit belongs to */
typedef struct HostChangeSet_* ChangeSetHandle; /* the options one edit changes */
typedef struct HostImage_* ImageHandle;         /* the working image of one render */
typedef struct HostString_* StringHandle;       /* a string kept by the host */

typedef struct BibblePluginData BibblePluginData;

/* Passed to the settings hooks, the options initialiser and the About handler. */
typedef struct OptionData {
    SettingsHandle settings;   /* never null */
    OwnerHandle owner;         /* may be null */
    ChangeSetHandle changeSet; /* may be null */
} OptionData;

/* Passed to the processing stage. */
typedef struct PipeData {
    SettingsHandle settings; /* never null */
    ImageHandle image;       /* may be null */
    /* May be null. The host may set the flag from another thread while the
     * stage runs; only the value 1 means "stop". */
    HostBool* cancelFlag;
} PipeData;

/* Every hook answers 0 for handled or nothing to do, -1 for refused. */
typedef int(HOST_CALL* OptionHook)(BibblePluginData* data, OptionData* options);
typedef int(HOST_CALL* ProcessHook)(BibblePluginData* data, PipeData* pipe);

/*
 * One per loaded plug-in. The plug-in writes clearedWord and interfaceVersion
 * at registration and otherwise only calls the operations. Results the plug-in
 * does not need are never read; it relies on valid records and settings
 * handles and on newString and imageRow succeeding.
 */
struct BibblePluginData {
    PluginHandle pluginHandle; /* first argument of every registration */
    int32_t interfaceVersion;  /* set to 5 by the plug-in */
    OptionsHandle optionsHandle;
    uint32_t clearedWord; /* set to 0 by the plug-in */

    /* Shows a dialog with the title and an HTML body. */
    int(HOST_CALL* showAboutBox)(const char* title, const char* htmlBody);

    /* A new, empty host string; the caller releases it with freeString. */
    StringHandle(HOST_CALL* newString)(void);
    void(HOST_CALL* freeString)(StringHandle string);
    /* Copies a NUL-terminated text into the string. */
    void(HOST_CALL* setString)(StringHandle string, const char* text);
    /* 0 when the two strings hold the same text. */
    int(HOST_CALL* compareStrings)(StringHandle first, StringHandle second);

    /* Writable samples of row `row` (0..height-1), pointing at the first sample
     * of pixel 0; `border` pixels lie before it and after pixel width-1. */
    uint16_t*(HOST_CALL* imageRow)(ImageHandle image, int32_t row);
    /* Samples between a pixel's channels. */
    int32_t(HOST_CALL* imageChannelStep)(ImageHandle image);
    /* Extra pixels on each side of every row. */
    int32_t(HOST_CALL* imageBorder)(ImageHandle image);
    /* Pixel format code; 3 is lightness, red-green, blue-yellow. */
    int32_t(HOST_CALL* imageKind)(ImageHandle image);
    /* Samples between successive pixels of a row. */
    int32_t(HOST_CALL* imagePixelStep)(ImageHandle image);
    int32_t(HOST_CALL* imageWidth)(ImageHandle image);
    int32_t(HOST_CALL* imageHeight)(ImageHandle image);

    /* The host calls the hook with an OptionData whenever the user edits
     * settings; it keeps every hook added. */
    int(HOST_CALL* addSettingsHook)(PluginHandle plugin, OptionHook hook);
    /* The host calls the hook with an OptionData when it initialises options. */
    int(HOST_CALL* setInitializeOptionsHook)(PluginHandle plugin, OptionHook hook);
    /* Makes the hook a stage of the image pipeline; the two ints are the
     * host's own placement codes. */
    int(HOST_CALL* addProcess)(PluginHandle plugin, ProcessHook hook, int32_t first,
                               int32_t second);
    /* Offers an About action under `key`, calling the hook when chosen. */
    int(HOST_CALL* addAboutHandler)(PluginHandle plugin, OptionHook hook, const char* key);

    /* The option stored under `key`, or null when there is none. */
    OptionHandle(HOST_CALL* findOption)(SettingsHandle settings, const char* key);
    /* Define an option in `group`, shown with `label`. The last argument is
     * reserved and always 0. */
    int(HOST_CALL* defineBoolOption)(OptionsHandle options, const char* key, const char* group,
                                     const char* label, int32_t defaultValue, int32_t reserved);
    int(HOST_CALL* defineIntOption)(OptionsHandle options, const char* key, const char* group,
                                    const char* label, int32_t defaultValue, int32_t reserved);

    /* Bracket a group of option reads; always paired, always with 0. */
    void(HOST_CALL* lockSettings)(SettingsHandle settings, int32_t zero);
    void(HOST_CALL* unlockSettings)(SettingsHandle settings, int32_t zero);

    /* Nonzero when the option stored under `key` is part of the change set. */
    int(HOST_CALL* changeSetHas)(ChangeSetHandle changeSet, const char* key);
    /* Makes the option part of the change set. */
    void(HOST_CALL* changeSetAdd)(ChangeSetHandle changeSet, OptionHandle option);

    HostBool(HOST_CALL* boolValue)(OptionHandle option);
    int32_t(HOST_CALL* intValue)(OptionHandle option);
    /* Stores a boolean; the plug-in only ever stores 1. */
    void(HOST_CALL* setBoolValue)(OptionHandle option, int32_t value);

    /* Fills `name` with the name of the processing stage `owner` stands for. */
    void(HOST_CALL* ownerName)(OwnerHandle owner, StringHandle name);
};

#ifdef __cplusplus
}
#endif

#endif /* VIVANTO_HOST_BIBBLE_HOST_H */
