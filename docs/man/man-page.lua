-- Makes a man page out of the manual. A page's source (docs/man/NAME.N.md)
-- holds little more than the list of the manual's sections it shows, as
-- empty divs that this filter fills:
--
--   ::: {include="THE DAEMON"}                 the section, with its sub-sections
--   :::
--   ::: {include="Exit status" heading="EXIT STATUS"}   under another heading
--   ::: {include="NAME" program="syncfolder"}  only that program's lines
--   ::: {include="DESCRIPTION" blocks="1"}     only its first block(s)
--   ::: {include="..." from="../../server/README.md"}  another Markdown file
--   ::: {.options}                             the options the program's --help lists
--
-- so the pages and docs/usage.md carry one text. Included headings become
-- the page's own sections (level 1, the others below it). A reference to a
-- section that this page does not show ("see CONFIGURATION") is completed
-- with the page that does ("see CONFIGURATION in syncfolder.conf(5)").
--
-- Metadata given on pandoc's command line:
--   program   the executable whose --help gives the .options list
--   man-pages the pages, as "syncfolder.1 syncfolder.conf.5 ...": where a
--             section is shown, for the references

local stringify = pandoc.utils.stringify

local function dirname(path)
  return path:match('^(.*)/[^/]*$') or '.'
end

local here = dirname(PANDOC_STATE.input_files[1] or '.')

local function read_file(path)
  local f = io.open(path, 'r')
  if not f then
    error('man-page.lua: cannot read ' .. path)
  end
  local text = f:read('a')
  f:close()
  return text
end

local docs = {}
local function document(from)
  local path = here .. '/' .. from
  if not docs[path] then
    docs[path] = pandoc.read(read_file(path), 'markdown')
  end
  return docs[path]
end

-- The section titled `title` in `blocks`: its heading and what follows up
-- to the next heading of the same or a higher level.
local function section(blocks, title, where)
  for i, b in ipairs(blocks) do
    if b.t == 'Header' and stringify(b.content) == title then
      local out = pandoc.List({ b })
      for j = i + 1, #blocks do
        local n = blocks[j]
        if n.t == 'Header' and n.level <= b.level then
          break
        end
        out:insert(n)
      end
      return out
    end
  end
  error('man-page.lua: no section "' .. title .. '" in ' .. where)
end

-- A paragraph of several lines ("`a` — x  \n`b` — y") keeps the lines
-- that start with `program`.
local function program_lines_para(para, program)
  local lines, line = {}, pandoc.List()
  for _, il in ipairs(para.content) do
    if il.t == 'LineBreak' then
      table.insert(lines, line)
      line = pandoc.List()
    else
      line:insert(il)
    end
  end
  table.insert(lines, line)
  local kept = pandoc.List()
  for _, l in ipairs(lines) do
    while #l > 0 and (l[1].t == 'Space' or l[1].t == 'SoftBreak') do
      l:remove(1)
    end
    while #l > 0 and (l[#l].t == 'Space' or l[#l].t == 'SoftBreak') do
      l:remove(#l)
    end
    if #l > 0 and stringify(l[1]) == program then
      if #kept > 0 then
        kept:insert(pandoc.LineBreak())
      end
      kept:extend(l)
    end
  end
  return pandoc.Para(kept)
end

-- A code block keeps the lines of `program`, and those of PROGRAM (any of
-- the programs) written as `program`.
local function program_lines_code(code, program)
  local kept = {}
  for line in (code.text .. '\n'):gmatch('(.-)\n') do
    local first = line:match('^(%S+)')
    if first == program then
      table.insert(kept, line)
    elseif first == 'PROGRAM' then
      table.insert(kept, program .. line:sub(#'PROGRAM' + 1))
    end
  end
  code.text = table.concat(kept, '\n')
  return code
end

local function include(div)
  local a = div.attributes
  local from = a['from'] or '../usage.md'
  local blocks = section(document(from).blocks, a['include'], from)
  local head = blocks[1]
  local shift = tonumber(a['level'] or '1') - head.level
  if a['blocks'] then
    -- The heading and the first N blocks after it.
    local n = tonumber(a['blocks'])
    while #blocks > n + 1 do
      blocks:remove(#blocks)
    end
  end
  local out = pandoc.List()
  for i, b in ipairs(blocks) do
    if b.t == 'Header' then
      b = b:clone()
      b.level = math.max(1, b.level + shift)
      if i == 1 and a['heading'] then
        b.content = pandoc.Inlines and pandoc.Inlines(a['heading']) or { pandoc.Str(a['heading']) }
      end
      if b.level == 1 then
        b.content = pandoc.walk_inline(pandoc.Span(b.content), {
          Str = function(s) return pandoc.Str(s.text:upper()) end,
        }).content
      end
    elseif a['program'] and b.t == 'Para' then
      b = program_lines_para(b, a['program'])
    elseif a['program'] and b.t == 'CodeBlock' then
      b = program_lines_code(b:clone(), a['program'])
    end
    out:insert(b)
  end
  return out
end

-- "  -p, --port N    the port (default 6690)": a definition list of the
-- options in the program's --help, option names bold, values in italics.
local function options(meta)
  local program = stringify(meta.program or '')
  if program == '' then
    error('man-page.lua: a .options div needs -M program=PATH')
  end
  local help = pandoc.pipe(program, { '--help' }, '')
  local items, in_options = {}, false
  for line in (help .. '\n'):gmatch('(.-)\n') do
    if line:match('^options:') then
      in_options = true
    elseif in_options and line:match('^%s*$') then
      break
    elseif in_options then
      local term, text = line:match('^%s+(%-%S.-)%s%s+(%S.*)$')
      if term then
        local inlines = pandoc.List()
        for word, sep in term:gmatch('([^%s,]+)([%s,]*)') do
          if word:sub(1, 1) == '-' then
            inlines:insert(pandoc.Strong({ pandoc.Str(word) }))
          else
            inlines:insert(pandoc.Emph({ pandoc.Str(word) }))
          end
          if sep:find(',') then
            inlines:insert(pandoc.Str(','))
          end
          if sep:find('%s') then
            inlines:insert(pandoc.Space())
          end
        end
        table.insert(items, { inlines, text })
      elseif #items > 0 then
        -- A wrapped description.
        items[#items][2] = items[#items][2] .. ' ' .. line:match('^%s*(.-)%s*$')
      end
    end
  end
  local list = {}
  for _, it in ipairs(items) do
    local words = pandoc.List()
    for w in it[2]:gmatch('%S+') do
      if #words > 0 then
        words:insert(pandoc.Space())
      end
      words:insert(pandoc.Str(w))
    end
    table.insert(list, { it[1], { { pandoc.Plain(words) } } })
  end
  return pandoc.DefinitionList(list)
end

-- Where each section is shown: title -> "page(N)".
local function section_homes(meta)
  local homes = {}
  for page in stringify(meta['man-pages'] or ''):gmatch('%S+') do
    local name, num = page:match('^(.*)%.(%d)$')
    local doc = pandoc.read(read_file(here .. '/' .. page .. '.md'), 'markdown')
    pandoc.walk_block(pandoc.Div(doc.blocks), {
      Div = function(d)
        local t = d.attributes['include']
        if t and not homes[t:upper()] then
          homes[t:upper()] = name .. '(' .. num .. ')'
        end
      end,
    })
  end
  return homes
end

-- Appends " in page(N)" to the references ("see TRASH", "see THE DAEMON,")
-- to sections of `homes` that this page does not show.
local function complete_references(blocks, homes, shown)
  local titles = {}
  for title, page in pairs(homes) do
    if not shown[title] then
      local words = {}
      for w in title:gmatch('%S+') do
        table.insert(words, w)
      end
      table.insert(titles, { words = words, page = page })
    end
  end
  table.sort(titles, function(x, y) return #x.words > #y.words end)
  local function after_see(inl, i)
    return i >= 3 and inl[i - 1].t == 'Space' and inl[i - 2].t == 'Str' and
        inl[i - 2].text:match('[Ss]ee$')
  end
  return pandoc.walk_block(pandoc.Div(blocks), {
    Inlines = function(inl)
      local out = pandoc.List()
      local i = 1
      while i <= #inl do
        local matched = false
        if inl[i].t == 'Str' and after_see(inl, i) then
          for _, t in ipairs(titles) do
            local ok, k, rest = true, i, ''
            for n, w in ipairs(t.words) do
              local il = inl[k]
              if not il or il.t ~= 'Str' then
                ok = false
                break
              end
              if n == #t.words then
                local tail = il.text:sub(#w + 1)
                if il.text:sub(1, #w) ~= w or tail:match('%w') then
                  ok = false
                  break
                end
                rest = tail
              elseif il.text ~= w or not inl[k + 1] or inl[k + 1].t ~= 'Space' then
                ok = false
                break
              end
              k = k + (n == #t.words and 0 or 2)
            end
            if ok then
              for j = i, k - 1 do
                out:insert(inl[j])
              end
              out:insert(pandoc.Str(t.words[#t.words]))
              out:insert(pandoc.Space())
              out:insert(pandoc.Str('in'))
              out:insert(pandoc.Space())
              out:insert(pandoc.Str(t.page .. rest))
              i = k + 1
              matched = true
              break
            end
          end
        end
        if not matched then
          out:insert(inl[i])
          i = i + 1
        end
      end
      return out
    end,
  }).content
end

-- The manual's tables give every column the same width; the page's give
-- each column its longest word first, then share the rest out by how much
-- text the column has beyond that, so that a column of short values does
-- not squeeze the long explanations beside it into a narrow strip. pandoc
-- spreads the widths over 70 characters; the gaps between columns come on
-- top, and the table must fit in an 80-column terminal after the indent.
local function fit_columns(tbl)
  local n = #tbl.colspecs
  local longest, sum, count = {}, {}, {}
  for i = 1, n do
    longest[i], sum[i], count[i] = 0, 0, 0
  end
  local function measure(rows)
    for _, row in ipairs(rows) do
      for i, cell in ipairs(row.cells) do
        local text = stringify(cell.contents)
        sum[i] = sum[i] + #text
        count[i] = count[i] + 1
        for word in text:gmatch('%S+') do
          longest[i] = math.max(longest[i], #word)
        end
      end
    end
  end
  measure(tbl.head.rows)
  for _, body in ipairs(tbl.bodies) do
    measure(body.body)
  end
  local room = 66 - 3 * (n - 1)
  local width, weight, floors, weights = {}, {}, 0, 0
  for i = 1, n do
    width[i] = math.min(longest[i] + 1, 22)
    floors = floors + width[i]
    weight[i] = math.max(sum[i] / math.max(count[i], 1) - width[i], 0)
    weights = weights + weight[i]
  end
  local rest = room - floors
  for i, spec in ipairs(tbl.colspecs) do
    local w = width[i]
    if rest < 0 then
      w = w * room / floors
    elseif weights > 0 then
      w = w + rest * weight[i] / weights
    else
      w = w + rest / n
    end
    tbl.colspecs[i] = { spec[1], w / 70 }
  end
  return tbl
end

-- A section the manual gains shows on no page until a page's source names
-- it: say so (once, with the first page) rather than leave the pages
-- behind without a word. The manual's own SEE ALSO names files of the
-- source tree; each page has its own.
local function warn_of_missing(homes, meta)
  local first = stringify(meta['man-pages'] or ''):match('^(%S+)')
  local this = (PANDOC_STATE.input_files[1] or ''):match('([^/]*)%.md$')
  if not first or first ~= this then
    return
  end
  for _, b in ipairs(document('../usage.md').blocks) do
    if b.t == 'Header' and b.level == 2 then
      local title = stringify(b.content)
      if not homes[title:upper()] and title ~= 'SEE ALSO' then
        io.stderr:write('man-page.lua: warning: the section "' .. title ..
          '" of docs/usage.md is on no man page: name it in a source in docs/man\n')
      end
    end
  end
end

function Pandoc(doc)
  local shown = {}
  local blocks = pandoc.List()
  for _, b in ipairs(doc.blocks) do
    if b.t == 'Div' and b.attributes['include'] then
      shown[b.attributes['include']:upper()] = true
      blocks:extend(include(b))
    elseif b.t == 'Div' and b.classes:includes('options') then
      blocks:insert(options(doc.meta))
    else
      blocks:insert(b)
    end
  end
  local homes = section_homes(doc.meta)
  warn_of_missing(homes, doc.meta)
  blocks = complete_references(blocks, homes, shown)
  blocks = pandoc.walk_block(pandoc.Div(blocks), { Table = fit_columns }).content
  return pandoc.Pandoc(blocks, doc.meta)
end
