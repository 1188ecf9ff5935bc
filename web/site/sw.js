// Keeps the page usable offline: the site's files are stored when the worker is installed, and every
// file the page fetches later (firmware and firmware lists included) is stored as it passes. The
// network is asked first, so a page that is online always gets the newest files; the stored copy
// answers only when the network cannot.
"use strict";

const CACHE = "quarnel-flash";
// Replaced by ./scripts/web with the built site's files.
const SITE = ["./", "index.html"];

self.addEventListener("install", (event) => {
    event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(SITE)).then(() => self.skipWaiting()));
});
self.addEventListener("activate", (event) => event.waitUntil(self.clients.claim()));

self.addEventListener("fetch", (event) => {
    const request = event.request;
    if (request.method !== "GET" || !/^https?:/.test(request.url)) return;
    event.respondWith((async () => {
        const cache = await caches.open(CACHE);
        try {
            const response = await fetch(request);
            if (response.ok) await cache.put(request, response.clone());
            return response;
        } catch (e) {
            // Offline: the same file, and for a page opened with a query (a demo link) the page itself.
            const stored = (await cache.match(request)) || (await cache.match(request, { ignoreSearch: true }));
            if (stored) return stored;
            throw e;
        }
    })());
});
