// <quarnel-flash>: the flasher on a board maker's own page, in one script.
//   <script src="https://HOST/PATH/quarnel-flash-element.js"></script>
//   <quarnel-flash manifest="firmware/manifest.json"></quarnel-flash>
// Attributes: manifest (a firmware list, relative to the page that holds the element; another site's
// must allow CORS), vid and pid (hexadecimal), demo (a family: a virtual board instead of a real one),
// height (CSS, 42em when left out). The flasher itself runs in a frame from this script's own folder,
// allowed to use WebHID; nothing is flashed without a click in it.
"use strict";

(() => {
    const site = new URL(".", document.currentScript ? document.currentScript.src : location.href).href;

    class QuarnelFlashElement extends HTMLElement {
        static get observedAttributes() { return ["manifest", "vid", "pid", "demo", "height"]; }

        connectedCallback() { this.render(); }
        attributeChangedCallback() { if (this.isConnected) this.render(); }

        // The flasher's address for the element's attributes.
        get src() {
            const query = new URLSearchParams({ embed: "1" });
            const manifest = this.getAttribute("manifest");
            if (manifest) query.set("manifest", new URL(manifest, document.baseURI).href);
            for (const name of ["vid", "pid", "demo"]) {
                if (this.hasAttribute(name)) query.set(name, this.getAttribute(name));
            }
            return site + "index.html?" + query.toString();
        }

        render() {
            const root = this.shadowRoot || this.attachShadow({ mode: "open" });
            let frame = root.querySelector("iframe");
            if (!frame) {
                const style = document.createElement("style");
                style.textContent = ":host { display: block; } iframe { width: 100%; border: 0; display: block; }";
                frame = document.createElement("iframe");
                frame.allow = "hid";
                frame.title = this.getAttribute("title") || "Quarnel Flash";
                root.append(style, frame);
            }
            frame.style.height = this.getAttribute("height") || "42em";
            if (frame.src !== this.src) frame.src = this.src;
        }

        get frame() { return this.shadowRoot && this.shadowRoot.querySelector("iframe"); }
    }

    if (!customElements.get("quarnel-flash")) customElements.define("quarnel-flash", QuarnelFlashElement);
})();
