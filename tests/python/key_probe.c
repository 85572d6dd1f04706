/* Preloaded into a Python process, records every key that the scene library looks up in a
 * JSON object: one line "<tag>\t<key>" per lookup in the file named by KEY_PROBE_LOG, where
 * <tag> is the string the object holds under "__probe__" ("-" when it holds none). Lookups
 * in an absent (null) object are not recorded. The real cJSON functions do the lookups. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <cjson/cJSON.h>

typedef cJSON *(*lookup_fn)(const cJSON *, const char *);
typedef cJSON_bool (*has_fn)(const cJSON *, const char *);

static lookup_fn real_lookup(const char *name) {
    return (lookup_fn)dlsym(RTLD_NEXT, name);
}

static void record(const cJSON *object, const char *key) {
    static lookup_fn exact;
    if (!exact) exact = real_lookup("cJSON_GetObjectItemCaseSensitive");
    const char *log = getenv("KEY_PROBE_LOG");
    if (!object || !key || !log || !exact) return;
    const char *tag = cJSON_GetStringValue(exact(object, "__probe__"));
    FILE *f = fopen(log, "a");
    if (!f) return;
    fprintf(f, "%s\t%s\n", tag ? tag : "-", key);
    fclose(f);
}

cJSON *cJSON_GetObjectItemCaseSensitive(const cJSON *object, const char *key) {
    static lookup_fn real;
    if (!real) real = real_lookup("cJSON_GetObjectItemCaseSensitive");
    record(object, key);
    return real(object, key);
}

cJSON *cJSON_GetObjectItem(const cJSON *object, const char *key) {
    static lookup_fn real;
    if (!real) real = real_lookup("cJSON_GetObjectItem");
    record(object, key);
    return real(object, key);
}

cJSON_bool cJSON_HasObjectItem(const cJSON *object, const char *key) {
    static has_fn real;
    if (!real) real = (has_fn)dlsym(RTLD_NEXT, "cJSON_HasObjectItem");
    record(object, key);
    return real(object, key);
}
